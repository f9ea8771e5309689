// The VLAN devices of "/proc/net/vlan/config": each device line gives the
// device, its VLAN id and the underlying device, reported to the store.
#include "netinfo/host_collectors.h"

#include "netinfo/store.h"
#include "sys/kernel_lines.h"
#include "vlan/naming.h"

#include <string>

namespace kx {

namespace {

void read_vlan_line(const char *line) {
    std::vector<std::string_view> fields = split_fields(line, " |\n");
    if (fields.size() < 2) return;
    std::string device(fields[0]);
    iface_update vlan(device.c_str(), 0);
    vlan.type(KXNETIF_VLAN).vlan_id(static_cast<int32_t>(decimal_prefix(fields[1])));
    if (fields.size() > 2) vlan.vlan_dev(fields[2]);
}

void read_vlan_lines(std::FILE *stream) {
    char line[kernel_line_size];
    while (read_kernel_line(stream, line)) read_vlan_line(line);
}

} // namespace

void read_vlan_devices() { read_vlan_config(1, read_vlan_lines); }

} // namespace kx
