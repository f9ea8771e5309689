/*
 * kxnet_ct.h - public interface of libkxnet_ct.so.3, the host-networking
 * library of the container platform: virtual networks on Linux or Open vSwitch
 * bridges, host and container interfaces attached to them, VLAN devices, IPv4
 * addresses, and reference-counted snapshots of the host's and containers'
 * interfaces.  Plain C records and functions; compiles as C11 and as C++.
 */
#ifndef KXNET_CT_H
#define KXNET_CT_H

#include <stdint.h>

#if defined(__GNUC__)
#define KXNET_API __attribute__((visibility("default")))
#else
#define KXNET_API
#endif

/* Nothing is ever thrown across this interface; C++ callers see it. */
#ifdef __cplusplus
#define KXNET_NOEXCEPT noexcept
#else
#define KXNET_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Programs the library runs (ovs-vsctl, ip, the shell of a DHCP restart) get
 * the fixed PATH given at compat_kxnet_addr_set as their only variable and
 * no descriptor of the caller's but its standard streams; each runs in a
 * process group of its own.  Each has a deadline: 120 s for the DHCP
 * restart, 30 s for every other program, or for all of them the whole
 * seconds in KXNET_COMMAND_TIMEOUT of the calling process (read with
 * secure_getenv; a value that is not a positive integer is ignored).  At the
 * deadline the program's process group is killed, the step fails as when
 * the program fails, and the log says "Command "<command>" did not end
 * within its deadline of <n> seconds and was killed".  Output the library
 * reads (ovs-vsctl's listings) past 4390912 bytes kills the program too.  A
 * caller killed during a call leaves no program running and the host lock
 * free.  Results do not depend on the caller's SIGCHLD disposition
 * (SIG_IGN, SA_NOCLDWAIT) or handler: these children raise no SIGCHLD and
 * no waitpid(-1) of the caller's sees them, and the library never waits for
 * a child it did not start.
 */

/*
 * Result codes of every operation that returns a code (4 and 7 are unused).
 * OK success; EXISTS the thing to create exists already; NOT_FOUND the named
 * network, interface or VLAN device is unknown; INVALID a missing or
 * malformed argument or an interface of the wrong kind; BUSY the interface
 * is in use elsewhere; SYSTEM a failure of the system (registry unreadable,
 * kernel request refused, lock file not openable, memory short); LOCK the
 * lock file could not be locked; DOWN the device under a new VLAN is down.
 */
enum {
    KXNET_OK = 0,
    KXNET_ERR_EXISTS = 1,
    KXNET_ERR_NOT_FOUND = 2,
    KXNET_ERR_INVALID = 3,
    KXNET_ERR_BUSY = 5,
    KXNET_ERR_SYSTEM = 6,
    KXNET_ERR_LOCK = 8,
    KXNET_ERR_DOWN = 9
};

/*
 * Interface kinds (kxnetif_info.type); a kind mask is a bitwise OR of them.
 * ETH: a device with a hardware address that is no pair or vnic device;
 * VETH: the host or container end of a pair device; VNIC: a "vnic*" device;
 * UNKNOWN: nothing known of the kind.
 */
enum {
    KXNETIF_UNKNOWN = 1,
    KXNETIF_ETH = 2,
    KXNETIF_BRIDGE = 4,
    KXNETIF_VLAN = 8,
    KXNETIF_VETH = 16,
    KXNETIF_VNIC = 32,
    KXNETIF_ALL = 63
};

/*
 * Field bits of kxnetif_info.mask: a field whose bit is set was reported by
 * a collector (NAME and CTID always are); the others are unset or empty.
 */
enum {
    KXNETIF_F_TYPE = 0x1,
    KXNETIF_F_NAME = 0x2,
    KXNETIF_F_CTID = 0x4,
    KXNETIF_F_ALT_NAME = 0x8,
    KXNETIF_F_HWADDR = 0x10,
    KXNETIF_F_BRIDGE = 0x20,
    KXNETIF_F_NETWORK_ID = 0x40,
    KXNETIF_F_ADDRS = 0x80,
    KXNETIF_F_CONF_ADDRS = 0x100,
    KXNETIF_F_STATE = 0x200,
    KXNETIF_F_PEER_CTID2 = 0x400,
    KXNETIF_F_PEER_CTID = 0x800,
    KXNETIF_F_PEER_NAME = 0x1000,
    KXNETIF_F_VLAN_DEV = 0x2000,
    KXNETIF_F_VLAN_ID = 0x4000,
    KXNETIF_F_FLAGS = 0x10000
};

/*
 * Query flags of kxnet_get_info; other bits are ignored.  CONFIG: reload the
 * registry and fill conf_addrs; IPV4, IPV6: fill addrs with those families.
 */
#define KXNET_INFO_CONFIG 0x40u
#define KXNET_INFO_IPV4 0x80u
#define KXNET_INFO_IPV6 0x8000u

/* Link state values of kxnetif_info.state. */
enum { KXNETIF_STATE_UP = 1, KXNETIF_STATE_DOWN = 2 };

/*
 * Every element and every head of a registry list begins with this link.
 * Lists are circular: an empty list is a head whose two pointers point to
 * itself, and following next from the head visits the elements in order.
 */
typedef struct kxnet_link {
    struct kxnet_link *prev;
    struct kxnet_link *next;
} kxnet_link;

/* One further host interface of a network (after its physical one). */
typedef struct kxnet_iface {
    kxnet_link link;
    char name[16];
} kxnet_iface;

/*
 * One virtual network: its id (a malloc'ed string the record owns), bridge,
 * physical interface (empty when none) and further interfaces.  Records
 * handed out by kxnet_get_configured_networks belong to the caller.
 */
typedef struct kxnet_network {
    kxnet_link link;
    char *network_id;
    char bridge[16];
    char phys_iface[16];
    kxnet_link ifaces;   /* head of kxnet_iface elements */
    int32_t preexisting; /* the bridge was an existing device */
} kxnet_network;

/* Head of a list of kxnet_network records. */
typedef struct kxnet_network_list {
    kxnet_link link;
} kxnet_network_list;

/*
 * One interface of the host (ctid 0) or of a container, as a query saw it.
 * Owned by the library and shared between results: read it, never change or
 * free it.  Strings and string lists (arrays ended by NULL) may be NULL.
 * addrs: "address/prefix" texts; conf_addrs: registered address texts or
 * "dhcp"; hwaddr: "xx:xx:..." in lower case; flags: the kernel's IFF_* bits.
 * refcount, the stamps, the scope fields and prev/next are the library's.
 */
typedef struct kxnetif_info {
    uint32_t mask;
    int32_t type;
    int32_t ctid;
    char *name;
    char *alt_name;
    char *bridge;
    char *network_id;
    char **addrs;
    char **conf_addrs;
    char *hwaddr;
    uint32_t state;
    union {
        char *vlan_dev;    /* KXNETIF_VLAN: the underlying device */
        int32_t peer_ctid; /* KXNETIF_VETH: container of the other end */
    };
    union {
        int32_t vlan_id;   /* KXNETIF_VLAN */
        char *peer_name;   /* KXNETIF_VETH: name of the other end */
    };
    uint32_t flags;
    int32_t refcount;
    int32_t stamp;
    int32_t addrs_stamp;
    int32_t conf_addrs_stamp;
    int32_t scope_ctid;
    int32_t scope_phase;
    struct kxnetif_info *prev;
    struct kxnetif_info *next;
} kxnetif_info;

/*
 * Result of a query: a NULL-ended array of records, empty when nothing
 * passed.  Allocated by the library; release it with kxnet_release_info.
 */
typedef struct kxnetif_info_list {
    kxnetif_info **items;
} kxnetif_info_list;

/*
 * Selection of a query (see kxnet_get_simple_filter); the strings are the
 * filter's own copies.  Made and freed by the library's functions.
 */
typedef struct kxnet_filter {
    uint32_t type_mask;
    char *bridge;
    char *network_id;
    char *name;
    int32_t ctid_min;
    int32_t ctid_max;
} kxnet_filter;

/*
 * Conventions of every function below.
 *
 * Locking.  All callers on the host are serialised by the host lock: a
 * process semaphore (one locked call at a time per process, other threads
 * wait) and an flock on "/tmp/kxnetcfg.lck" (exclusive for changes, shared
 * for kxnet_get_bridge_by_networkid).  The first call of a process that
 * takes the lock, or that makes a filter, initialises the library; the first
 * calls of a process must not race each other.
 *
 * Lock file.  Only a regular file owned by the effective user with one link
 * and mode 0600 is used; it is opened without following a symlink and created
 * 0600.  One of the user's with group or other bits is replaced by a new
 * file renamed over it (logging "libkxnet: replaced <what> with mode <mode>
 * at <path>"), since whoever opened it while it was readable could hold its
 * flock for ever; after taking the flock a caller checks that its file is
 * still the one at the path, and otherwise starts over.  Anything
 * else at the path (another user's file, a symlink, a directory, a FIFO, a
 * hard link) is removed, a non-empty directory moved aside to
 * "<path>.moved.<pid>.<n>", and the file made anew with O_EXCL, logging
 * "libkxnet: replaced <what> at <path>".  Replacing is serialised by an flock
 * on "/run/kxnetcfg.lck" (root's directory); without that directory nothing
 * is replaced.  KXNET_ERR_SYSTEM (6) when the file can be neither opened nor
 * made, or what stands there cannot be replaced (then with a log line).
 *
 * Log.  Control bytes, DEL and the backslash in a message are written as
 * \n, \t, \r, \\ and \xNN, so every message is one line; the message is cut
 * to 1022 characters before escaping.  A log the library creates gets 0644
 * less the umask (never group or other write); an existing log keeps its
 * mode.  The log is used only when it is a regular file: it is opened
 * without following a symlink and without waiting (a FIFO there is
 * skipped), and a log that cannot be used is skipped without failing the
 * operation.
 *
 * _SL variants.  Each locked operation also exists with the suffix _SL: the
 * same body without the lock and without the outcome log line, for a caller
 * that already holds the host lock (in the mode named for the operation).
 * Calling a locked (non-_SL) function while holding the lock deadlocks.
 *
 * Results.  Functions returning int return a KXNET_* code: KXNET_ERR_LOCK
 * (8) when the lock file cannot be locked and KXNET_ERR_SYSTEM (6) when it
 * cannot be opened or the library cannot be initialised, in addition to the
 * codes listed for each.  KXNET_ERR_SYSTEM also covers memory running out.
 * Functions returning a pointer return NULL on any failure.  No C++
 * exception ever leaves a function.
 *
 * Names.  A device, bridge or VLAN name given to kxnet_br_new (bridge_name),
 * kxnet_br_attach, kxnet_br_detach, kxnet_vlan_new, kxnet_vlan_del or
 * compat_kxnet_addr_set (and their _SL and alias forms) must be 1 to 15
 * characters, each a letter, a digit, '.', '_', '-', '@' or '+', and must
 * not begin with '-': such names need no quoting in the registry, ifcfg
 * files, shell command lines or command arguments they reach.  Any other
 * name (a NULL one included) gives KXNET_ERR_INVALID before anything is
 * changed and the log line "Invalid interface name \"<name>\"".  Devices
 * the kernel has under other names are still listed by kxnet_get_info;
 * they cannot be attached, registered or given addresses.  Network ids are
 * strings the container-management library accepts
 * (kxctl_is_networkid_valid); kxnet_br_new and kxnet_br_change also refuse
 * an id holding a double quote, a blank or a control character, which the
 * registry line cannot carry.
 * Every changing operation writes one outcome line to
 * "/var/log/kxnetcfg.log" and keeps "/etc/kx/kxnet.conf" in step.
 */

/* ---- Virtual networks (exclusive lock) ---- */

/*
 * Creates the virtual network `network_id` and registers it.
 * bridge_name: NULL, or a caller buffer of at least 16 bytes.  Non-empty, it
 * names the Linux bridge to create; empty, a free name "br<N>" is chosen and
 * written back on success.  If a device named exactly like the network id
 * exists (and no name is given) it becomes the network's bridge (it is
 * adopted) and is left in place when the network is removed; an ifcfg file
 * it already has is kept as it is, and one is written only where none is.
 * A bridge name of 16 or more characters is cut to its first 15.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a NULL or rejected id or a bridge
 * name outside the name rule; KXNET_ERR_EXISTS when the id is registered or the
 * named bridge exists or belongs to another network; KXNET_ERR_SYSTEM when
 * the registry cannot be read, no automatic name is free or the bridge
 * cannot be made.
 */
KXNET_API int kxnet_br_new(const char *network_id, char *bridge_name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_new_SL(const char *network_id, char *bridge_name) KXNET_NOEXCEPT;

/*
 * Removes the virtual network `network_id`: its bridge (unless it existed
 * before the network), the bridge's ifcfg file and its registry entry.  Of
 * an adopted bridge the ifcfg file is removed only when the library wrote it
 * (it carries the extended attribute "trusted.kxnet.written").  A
 * bridge already gone is not an error.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a NULL id; KXNET_ERR_NOT_FOUND when
 * the id is not registered; KXNET_ERR_SYSTEM when the registry cannot be read
 * or the bridge cannot be removed (the registry is then unchanged).
 */
KXNET_API int kxnet_br_del(const char *network_id) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_del_SL(const char *network_id) KXNET_NOEXCEPT;

/*
 * Renames a network: the registry entry and the interface entries of every
 * container configuration (running or stopped) that name `network_id` take
 * `new_network_id`.  The bridge and its ifcfg file stay as they are.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a NULL or rejected id;
 * KXNET_ERR_NOT_FOUND when `network_id` is not registered; KXNET_ERR_EXISTS
 * when `new_network_id` is; KXNET_ERR_SYSTEM when the registry cannot be read
 * or a container configuration cannot be rewritten (the registry then
 * already holds the new id).
 */
KXNET_API int kxnet_br_change(const char *network_id, const char *new_network_id) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_change_SL(const char *network_id, const char *new_network_id) KXNET_NOEXCEPT;

/* ---- Interfaces of virtual networks (exclusive lock) ---- */

/*
 * Adds the host interface `name` to the bridge of network `network_id`.  A
 * physical, VLAN or vnic device becomes the network's physical interface
 * (one per network; its offload settings are copied to the bridge's ports)
 * and is recorded in the registry.  The host end of a container pair
 * device is added and brought up without a registry change; one attached
 * elsewhere is moved.  kxnet_br_attach is the same function under a second
 * name.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a NULL id, a name outside the
 * name rule, or an interface without hardware address;
 * KXNET_ERR_NOT_FOUND when the interface or the network is unknown;
 * KXNET_ERR_BUSY when a physical or VLAN device is already in a network or
 * bridge; KXNET_ERR_EXISTS when the network already has a physical
 * interface; KXNET_ERR_SYSTEM when the port cannot be added.
 */
KXNET_API int kxnet_br_attach_CT(const char *network_id, const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_attach(const char *network_id, const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_attach_SL(const char *network_id, const char *name) KXNET_NOEXCEPT;

/*
 * Takes the host interface `name` out of its bridge and, unless it is a
 * container pair device, out of its network's registry entry (the next
 * further interface then becomes the physical one).  Detaching an
 * interface that is in no bridge succeeds.  kxnet_br_detach is the same
 * function under a second name.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a name outside the name rule or
 * an interface without hardware address; KXNET_ERR_NOT_FOUND when the
 * interface is unknown or has no index; KXNET_ERR_SYSTEM when the port
 * cannot be removed, or when the registry cannot be saved (the interface
 * is then put back into its bridge).
 */
KXNET_API int kxnet_br_detach_CT(const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_detach(const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_detach_SL(const char *name) KXNET_NOEXCEPT;

/* ---- VLAN devices (exclusive lock) ---- */

/*
 * Creates 802.1Q VLAN `vlan_id` (0 to 4095) over `device`, brings it up,
 * writes its ifcfg file and registers it.  The new device is named by the
 * kernel's VLAN naming type (e.g. "eth0.5" or "vlan5").  name_buf: NULL, or
 * a caller buffer of buf_len bytes that receives the VLAN device's name when
 * buf_len is at least 16 (also when a later check fails); a shorter buffer
 * is never written.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a device name outside the name
 * rule, an id above 4095, or a device the kernel
 * refuses to create (the ifcfg file and registry entry are then undone);
 * KXNET_ERR_NOT_FOUND when `device` does not exist; KXNET_ERR_DOWN when it is
 * down; KXNET_ERR_EXISTS when the VLAN device exists; KXNET_ERR_SYSTEM when
 * the registry or ifcfg file cannot be read or written.
 */
KXNET_API int kxnet_vlan_new(const char *device, unsigned int vlan_id, char *name_buf, int buf_len) KXNET_NOEXCEPT;
KXNET_API int kxnet_vlan_new_SL(const char *device, unsigned int vlan_id, char *name_buf,
                                int buf_len) KXNET_NOEXCEPT;

/*
 * Removes the VLAN device `vlan_device`, its ifcfg file and its entries in
 * the registry (as a VLAN, as a network's interface, and its addresses).  A
 * VLAN device the registry does not know is removed all the same.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a name outside the name rule, or
 * when the kernel refuses the removal;
 * KXNET_ERR_NOT_FOUND when the name is not a VLAN device; KXNET_ERR_SYSTEM
 * when the registry cannot be read.
 */
KXNET_API int kxnet_vlan_del(const char *vlan_device) KXNET_NOEXCEPT;
KXNET_API int kxnet_vlan_del_SL(const char *vlan_device) KXNET_NOEXCEPT;

/* ---- Registry query ---- */

/*
 * A private copy of the registered networks, in registry order (exclusive
 * lock).  Each kxnet_network carries its id, bridge, physical interface and
 * further interfaces; its `preexisting` field means nothing here.  An empty
 * registry gives an empty list.  The caller frees the records with
 * kxnet_free_networks and then the list head with free().  NULL when the
 * lock cannot be taken, the registry cannot be read or memory runs out.
 */
KXNET_API kxnet_network_list *kxnet_get_configured_networks(void) KXNET_NOEXCEPT;

/*
 * Frees every record of `list` (not the head, which is left an empty list).
 * Takes no host lock.
 */
KXNET_API void kxnet_free_networks(kxnet_network_list *list) KXNET_NOEXCEPT;

/* ---- Information queries ---- */

/*
 * A new filter for kxnet_get_info (no lock; initialises the library).
 * type_mask: KXNETIF_* kinds accepted.  bridge, network_id, name: NULL for
 * any, else only records whose field is present and equal; the filter keeps
 * its own copies.  ctid_min..ctid_max: the container ids collected and
 * accepted (0 is the host; min above max selects nothing).  Free it with
 * kxnet_release_filter, at any time after the query returned.  NULL when
 * the library cannot be initialised or memory runs out.
 */
KXNET_API kxnet_filter *kxnet_get_simple_filter(int type_mask, const char *bridge,
                                                const char *network_id, const char *name,
                                                int ctid_min, int ctid_max) KXNET_NOEXCEPT;

/* Frees a filter and its strings; NULL is ignored.  No lock. */
KXNET_API void kxnet_release_filter(kxnet_filter *filter) KXNET_NOEXCEPT;

/*
 * A snapshot of the interfaces of the host and of running containers that
 * pass `filter` (NULL: everything).  flags: KXNET_INFO_CONFIG reloads the
 * registry and reports configured addresses, KXNET_INFO_IPV4 and
 * KXNET_INFO_IPV6 collect addresses; other bits are ignored.  Takes the
 * process semaphore only (not the file lock; _SL: the caller holds the
 * lock in any mode).  The records stay valid and unchanged until the list
 * is released with kxnet_release_info, however many queries run meanwhile;
 * never change or free them.  NULL when the lock cannot be taken or memory
 * runs out; a failing source only leaves its interfaces out.  A container's
 * interfaces come from a child run inside it, which is not trusted: one that
 * writes more than 4096 interfaces or 4096 * 1072 bytes, or whose output has
 * not ended 3 seconds after its start (the platform's 2-second exec timeout
 * and a margin), is killed and reaped, logged, and its container reports
 * nothing; the others are still reported.
 */
KXNET_API kxnetif_info_list *kxnet_get_info(uint32_t flags, const kxnet_filter *filter) KXNET_NOEXCEPT;
KXNET_API kxnetif_info_list *kxnet_get_info_SL(uint32_t flags, const kxnet_filter *filter) KXNET_NOEXCEPT;

/*
 * Releases a list of kxnet_get_info (NULL is accepted): its array, and each
 * record no other list holds that a later query has replaced.  Takes the
 * process semaphore.  Returns KXNET_OK, or KXNET_ERR_SYSTEM when the library
 * cannot be initialised.
 */
KXNET_API int kxnet_release_info(kxnetif_info_list *list) KXNET_NOEXCEPT;
KXNET_API void kxnet_release_info_SL(kxnetif_info_list *list) KXNET_NOEXCEPT;

/*
 * The name of the bridge of network `network_id` as the host has it now, as
 * a malloc'ed string the caller frees with free() (shared lock).  The
 * registry is read afresh by both variants.  NULL when the id is NULL or
 * unknown, its bridge is absent, the registry cannot be read, the lock
 * cannot be taken or memory runs out.
 */
KXNET_API char *kxnet_get_bridge_by_networkid(const char *network_id) KXNET_NOEXCEPT;
KXNET_API char *kxnet_get_bridge_by_networkid_SL(const char *network_id) KXNET_NOEXCEPT;

/* ---- Host start and stop (no lock; initialise the library) ---- */

/*
 * At host start: recreates the registered VLAN devices, then each network's
 * bridge with its further and physical interfaces and the container pair
 * devices configured for it.  A device that fails is logged and skipped.
 * Then removes the host-stopped mark "/run/kxnet.stopped".
 * Returns KXNET_OK, or KXNET_ERR_SYSTEM when the library cannot be
 * initialised, the registry cannot be read, no control socket can be opened
 * or (on SuSE) the VLAN naming type cannot be set.
 */
KXNET_API int kxnet_init_devices(void) KXNET_NOEXCEPT;

/*
 * At host stop: first leaves the host-stopped mark "/run/kxnet.stopped"
 * (an empty file; none when the directory is missing), then takes down and
 * deletes every registered bridge (those that existed before their network
 * included), then the registered VLAN devices.  The registry and ifcfg
 * files stay.  While the mark is there, kxnetctl watch mends nothing.  Results as for
 * kxnet_init_devices.
 */
KXNET_API int kxnet_destroy_devices(void) KXNET_NOEXCEPT;

/* ---- Address assignment (exclusive lock, no outcome line) ---- */

/*
 * Gives the host device `device` an IPv4 address, live and in its ifcfg
 * file, and records the text in the registry.  address: a dotted IPv4
 * address with an optional "/prefix" (no or an out-of-range prefix means
 * /32), or "dhcp" to restart the device under DHCP.  Earlier addresses are
 * kept.  A missing ifcfg file is not an error.
 * Returns KXNET_OK; KXNET_ERR_INVALID for a device name outside the name
 * rule, a NULL or empty address, or
 * an address that is not dotted IPv4; KXNET_ERR_NOT_FOUND when no such
 * device exists (static address); KXNET_ERR_SYSTEM when the registry cannot
 * be read, the kernel refuses the address (for instance one the device has
 * already), or the DHCP restart fails.  The restart runs
 * "ifdown <device>; ifup <device>" with /bin/sh and no variable of the
 * caller's: PATH "/usr/sbin:/usr/bin:/sbin:/bin" (behind
 * "$KXNET_ROOT/usr/sbin:$KXNET_ROOT/sbin" when KXNET_ROOT is set) is its
 * whole environment; a restart past its deadline (see above) fails.
 */
KXNET_API int compat_kxnet_addr_set(const char *device, const char *address) KXNET_NOEXCEPT;
KXNET_API int compat_kxnet_addr_set_SL(const char *device, const char *address) KXNET_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KXNET_CT_H */
