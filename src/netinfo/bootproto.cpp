// The boot protocol of a host device: an ifcfg file that sets BOOTPROTO to
// dhcp gives the device's record the configured address "dhcp".  Only real
// line starts count, however long a line is, as for the DEVICE= keys.  What
// a file says is kept while the file stays as it was read.
#include "netinfo/host_collectors.h"

#include "frame/file_identity.h"
#include "frame/text_file.h"
#include "ifcfg/ifcfg.h"
#include "netinfo/store.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kx {

namespace {

// A line that, after leading white space, sets BOOTPROTO to something
// holding "dhcp".
bool sets_dhcp(std::string_view line) {
    constexpr std::string_view key = "BOOTPROTO=";
    size_t start = line.find_first_not_of(" \t\r\f\v");
    if (start == std::string_view::npos) return false;
    line.remove_prefix(start);
    if (!line.starts_with(key)) return false;
    return line.substr(key.size()).find("dhcp") != std::string_view::npos;
}

// What a file says of the boot protocol: how many of its lines set it to
// dhcp.  Kept per path while the file stays as it was read, so a query
// reads only the ifcfg files that changed since the one before.
struct dhcp_lines {
    file_identity identity;
    int count = 0;
};

int count_dhcp_lines(const char *path) {
    unique_file file = open_text_file(path);
    if (!file) return 0;
    int count = 0;
    std::string line;
    while (read_text_line(file.get(), line))
        if (sets_dhcp(up_to_nul(line))) ++count;
    return count;
}

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
    static std::mutex mutex;
    static std::unordered_map<std::string, dhcp_lines> known;
    std::lock_guard<std::mutex> guard(mutex);
    auto hit = known.find(path);
    if (hit != known.end() && hit->second.identity == *identity) return hit->second.count;
    const int count = count_dhcp_lines(path.c_str());
    if (settled(*identity))
        known.insert_or_assign(path, dhcp_lines{*identity, count});
    else if (hit != known.end())
        known.erase(hit);
    return count;
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
