// The boot protocol of a host device: an ifcfg file that sets BOOTPROTO to
// dhcp gives the device's record the configured address "dhcp".  Only real
// line starts count, however long a line is, as for the DEVICE= keys.
#include "netinfo/host_collectors.h"

#include "frame/text_file.h"
#include "ifcfg/ifcfg.h"
#include "netinfo/store.h"

#include <string>
#include <string_view>

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

} // namespace

void read_bootproto(kxnetif_info *record, const ifcfg_device_index *index) {
    if (record == nullptr || record->name == nullptr) return;
    std::optional<std::string> path = ifcfg_find(record->name, record->type, record->hwaddr, index);
    if (!path) return;
    unique_file file = open_text_file(path->c_str());
    if (!file) return;
    kxnetif_info *target = record;
    std::string line;
    // A later match goes to the record the previous one returned (last_ib).
    while (target != nullptr && read_text_line(file.get(), line))
        if (sets_dhcp(up_to_nul(line)))
            target = update_held_kxnetif_info(target, KXNETIF_F_CONF_ADDRS, str_value("dhcp"));
}

} // namespace kx
