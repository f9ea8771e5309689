// The container kernel's device lists: "/proc/kx/veth" (virtual pairs, kept
// as the library's pair list and reported with both ends) and
// "/proc/kx/vmth" (further pair devices of the host).
#include "netinfo/host_collectors.h"

#include "devices/pair_list.h"
#include "netinfo/store.h"
#include "sys/paths.h"

#include <cstdint>
#include <string>

namespace kx {

namespace {

// Reports both ends of a pair: each is a pair device naming the other.
void report_pair(const char *host, const char *ct, int32_t ctid) {
    iface_update(host, 0).type(KXNETIF_VETH).peer_ctid(ctid).peer_name(ct);
    iface_update(ct, ctid).type(KXNETIF_VETH).peer_ctid(0).peer_name(host);
}

} // namespace

void read_proc_veth(int update) { read_pair_list(update != 0 ? report_pair : nullptr); }

void read_proc_vmth() {
    kernel_file stream = open_pair_list(paths::proc_vmth);
    if (!stream) return;
    char line[kernel_line_size];
    while (read_kernel_line(stream.get(), line)) {
        std::vector<std::string_view> fields = split_fields(line, " \n");
        if (fields.empty()) continue;
        std::string name(fields[0]);
        iface_update(name.c_str(), 0).type(KXNETIF_VETH);
    }
}

} // namespace kx
