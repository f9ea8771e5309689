// The boot protocol of a host device: each line of its ifcfg file that sets
// BOOTPROTO to dhcp gives the device's record the configured address "dhcp".
#include "netinfo/host_collectors.h"

#include "ifcfg/ifcfg.h"
#include "ifcfg/ifcfg_facts.h"
#include "netinfo/store.h"
#include "sys/file_identity.h"

#include <optional>
#include <string>
#include <string_view>

namespace kx {

namespace {

// The file's identity as the query's index found it, or as a status query
// finds it now for a file the index did not list.
std::optional<file_identity> identity_for(const std::string &path, const ifcfg_device_index *index) {
    if (index != nullptr)
        if (const ifcfg_device_index::entry_status *known = index->status_of(path)) return known->regular;
    return regular_file_identity(path.c_str());
}

int dhcp_lines_of(const std::string &path, const ifcfg_device_index *index) {
    const std::optional<file_identity> identity = identity_for(path, index);
    if (!identity) return 0; // the open takes regular files only
    return ifcfg_facts_of(path, *identity)->dhcp_lines;
}

} // namespace

void read_bootproto(const iface_record &record, const ifcfg_device_index *index) {
    std::optional<std::string> path =
        ifcfg_find(record.name.c_str(), record.type, record.hwaddr ? record.hwaddr->c_str() : nullptr, index);
    if (!path) return;
    // Each match goes to the record the previous one left standing.
    iface_update update(&record);
    for (int left = dhcp_lines_of(*path, index); !update.failed() && left > 0; --left) update.conf_addrs("dhcp");
}

} // namespace kx
