// Host interface configuration files: the per-device ifcfg files that the
// distribution's start-up scripts read.  Writes them for the bridges and VLAN
// devices the library creates, removes them again, and locates the file that
// configures an existing device.  The layout (network-scripts or SuSE) is the
// one kx::state().suse_flag selects at the moment of each call.  Nothing here
// logs or locks: the exported operations around these calls hold the host lock.
#pragma once

#include "sys/file_identity.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace kx {

// Unlinks the device's ifcfg file in the current layout; a missing file is
// not an error.  Does nothing for a null or empty name.
void ifcfg_remove(const char *device);

// ifcfg_remove, but only a file the library wrote (it carries the written
// mark, frame/atomic_file.h): the file of an adopted device may be its
// administrator's.  Allocates nothing.
void ifcfg_remove_if_written(const char *device);

// Whether anything stands at the device's ifcfg path in the current layout
// (links not followed).
bool ifcfg_present(const char *device);

// The device's ifcfg path in the current layout (directory, "/ifcfg-", name).
std::string ifcfg_device_path(std::string_view device);

// Sets the address lines of an ifcfg file's text for `address` ("dhcp" or a
// dotted address with an optional "/prefix"): BOOTPROTO becomes "dhcp" or
// "static", IPADDR and NETMASK take the address part and the netmask (DHCP:
// they are dropped), PREFIXLEN is dropped; each line keeps its own quote and
// what precedes its value.  Lines are read as the shell groups them: text
// inside another line's quotes or continuation is never taken for a key, a
// value running over lines is replaced whole, and commands after the value
// ("IPADDR=1.2.3.4; MTU=9000") are kept.  Keys that were missing are
// appended, quoted in the SuSE layout (`suse`) and bare otherwise.  Every
// other line is copied unchanged; every line of the result ends in a newline.
std::string ifcfg_rewrite_address(std::string_view old_text, std::string_view address, bool suse);

// Rewrites the device's own ifcfg file (current layout) in one pass through
// a temporary beside it and a rename; the new file has mode 0600.  0, or a
// negative errno: -EINVAL for a missing argument or a name holding "/", the
// open's error when the file cannot be read (no file: -ENOENT, nothing is
// created; no regular file: -EINVAL), -EIO for a failed read, -EFBIG for a
// line too long to keep whole, the replacement's error.
int ifcfg_set_address(const char *device, const char *address);

// SuSE layout: writes the bridge's ifcfg file (0600, replaced whole by one
// rename).  Network-scripts layout: writes nothing.  0 on success, else a
// negative errno (-EINVAL for a null, empty or path-like name); on failure
// no temporary file remains and an earlier file of the device is left as it
// was.
int ifcfg_write_bridge(const char *bridge);

// Writes the ifcfg file of VLAN device `vlan_name`, with `parent_name` as
// its carrying device.  0 on success, else a negative errno (-EINVAL for a
// name the shell could misread); the same guarantees as ifcfg_write_bridge.
int ifcfg_write_vlan(std::string_view parent_name, std::string_view vlan_name);

// The DEVICE= keys of the network-scripts directory, read in one pass.  For
// every device it answers exactly what ifcfg_find_by_device_key would answer
// while the directory stays as it was: the first file, in directory order,
// holding a line that names the device.  Build one per information query
// (after the host lock is taken, under the KXNET_ROOT in force) and pass it to
// every ifcfg_find of that query; it turns one directory scan per device into
// one scan per query.  It is consulted only in the network-scripts layout and
// holds paths under the root in force when it was built.
class ifcfg_device_index {
public:
    // Reads "/etc/sysconfig/network-scripts" now; an unreadable directory
    // gives an index that finds nothing, as the per-device search would.
    // The keys of a file that is as an earlier build read it (and settled
    // since) come from that reading, kept in the process.
    static ifcfg_device_index build();

    // The path ifcfg_find_by_device_key(device) would return.
    std::optional<std::string> find(const char *device) const;

    // False only when the listing of `dir` (the network-scripts or the SuSE
    // directory) shows no entry named `file`, so a status query would fail.
    bool may_hold(std::string_view dir, const std::string &file) const;

    // What the build's one status query of an entry found: whether it
    // exists (links followed) and, for a regular file, its identity.
    struct entry_status {
        bool exists = false;
        std::optional<file_identity> regular;
    };
    // The status of `path` when it is an "ifcfg-" entry of the
    // network-scripts directory the build listed (an unlisted one does not
    // exist); null for any other path, which only a status query now tells.
    const entry_status *status_of(std::string_view path) const;

    size_t size() const { return first_file_.size(); }

private:
    std::unordered_map<std::string, std::string> first_file_; // key -> path
    // The "ifcfg-" entries of each directory; none when it could not be read.
    // The network-scripts ones with what their status query found.
    std::optional<std::unordered_map<std::string, entry_status>> redhat_entries_;
    std::optional<std::unordered_set<std::string>> suse_entries_;
    std::string redhat_dir_; // as rooted when the index was built
};

// The path of the file that configures `device`, or none.  Tries the
// device's own file in the network-scripts directory, then in the SuSE
// directory (both in either layout); then, network-scripts layout, the
// DEVICE= key search (through `index` when one is given); SuSE layout, the
// file whose name holds the hardware address text `hwaddr` (not for
// KXNETIF_VLAN `kind`), several such files decided by the alphabetic stem of
// the device name.
std::optional<std::string> ifcfg_find(const char *device, int kind, const char *hwaddr,
                                      const ifcfg_device_index *index = nullptr);

// The first file of the network-scripts directory, in directory order, that
// holds a line naming `device`: "DEVICE=" at the very start of the line, then
// the name, then the end of the line or white space.
std::optional<std::string> ifcfg_find_by_device_key(const char *device);

} // namespace kx
