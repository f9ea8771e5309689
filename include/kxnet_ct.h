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

/* Result codes of every operation that returns a code (4 and 7 are unused). */
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

/* Interface kinds; a kind mask is a bitwise OR of them. */
enum {
    KXNETIF_UNKNOWN = 1,
    KXNETIF_ETH = 2,
    KXNETIF_BRIDGE = 4,
    KXNETIF_VLAN = 8,
    KXNETIF_VETH = 16,
    KXNETIF_VNIC = 32,
    KXNETIF_ALL = 63
};

/* Update keys of the information store; applied keys are ORed into mask. */
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

/* Query flags of kxnet_get_info; other bits are ignored. */
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

/* One further host interface of a network. */
typedef struct kxnet_iface {
    kxnet_link link;
    char name[16];
} kxnet_iface;

/* One virtual network: its id, bridge, uplink and further interfaces. */
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

/* One interface of the host or of a container, as a query saw it. */
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

/* Result of a query: a null-ended array of held records. */
typedef struct kxnetif_info_list {
    kxnetif_info **items;
} kxnetif_info_list;

/* Selection of a query; the strings are the filter's own copies. */
typedef struct kxnet_filter {
    uint32_t type_mask;
    char *bridge;
    char *network_id;
    char *name;
    int32_t ctid_min;
    int32_t ctid_max;
} kxnet_filter;

/* Virtual networks. */
KXNET_API int kxnet_br_new(const char *network_id, char *bridge_name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_new_SL(const char *network_id, char *bridge_name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_del(const char *network_id) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_del_SL(const char *network_id) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_change(const char *network_id, const char *new_network_id) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_change_SL(const char *network_id, const char *new_network_id) KXNET_NOEXCEPT;

/* Interfaces of virtual networks. */
KXNET_API int kxnet_br_attach_CT(const char *network_id, const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_attach(const char *network_id, const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_attach_SL(const char *network_id, const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_detach_CT(const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_detach(const char *name) KXNET_NOEXCEPT;
KXNET_API int kxnet_br_detach_SL(const char *name) KXNET_NOEXCEPT;

/* VLAN devices. */
KXNET_API int kxnet_vlan_new(const char *device, unsigned int vlan_id, char *name_buf, int buf_len) KXNET_NOEXCEPT;
KXNET_API int kxnet_vlan_new_SL(const char *device, unsigned int vlan_id, char *name_buf, int buf_len) KXNET_NOEXCEPT;
KXNET_API int kxnet_vlan_del(const char *vlan_device) KXNET_NOEXCEPT;
KXNET_API int kxnet_vlan_del_SL(const char *vlan_device) KXNET_NOEXCEPT;

/* Registry query. */
KXNET_API kxnet_network_list *kxnet_get_configured_networks(void) KXNET_NOEXCEPT;
KXNET_API void kxnet_free_networks(kxnet_network_list *list) KXNET_NOEXCEPT;

/* Information queries. */
KXNET_API kxnet_filter *kxnet_get_simple_filter(int type_mask, const char *bridge,
                                                const char *network_id, const char *name,
                                                int ctid_min, int ctid_max) KXNET_NOEXCEPT;
KXNET_API void kxnet_release_filter(kxnet_filter *filter) KXNET_NOEXCEPT;
KXNET_API kxnetif_info_list *kxnet_get_info(uint32_t flags, const kxnet_filter *filter) KXNET_NOEXCEPT;
KXNET_API kxnetif_info_list *kxnet_get_info_SL(uint32_t flags, const kxnet_filter *filter) KXNET_NOEXCEPT;
KXNET_API int kxnet_release_info(kxnetif_info_list *list) KXNET_NOEXCEPT;
KXNET_API void kxnet_release_info_SL(kxnetif_info_list *list) KXNET_NOEXCEPT;
KXNET_API char *kxnet_get_bridge_by_networkid(const char *network_id) KXNET_NOEXCEPT;
KXNET_API char *kxnet_get_bridge_by_networkid_SL(const char *network_id) KXNET_NOEXCEPT;

/* Host start and stop. */
KXNET_API int kxnet_init_devices(void) KXNET_NOEXCEPT;
KXNET_API int kxnet_destroy_devices(void) KXNET_NOEXCEPT;

/* Address assignment (a dotted IPv4 address with prefix, or "dhcp"). */
KXNET_API int compat_kxnet_addr_set(const char *device, const char *address) KXNET_NOEXCEPT;
KXNET_API int compat_kxnet_addr_set_SL(const char *device, const char *address) KXNET_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KXNET_CT_H */
