// The container kernel's device lists: "/proc/kx/veth" (virtual pairs, kept
// as the library's pair list and reported with both ends) and
// "/proc/kx/vmth" (further pair devices of the host).
#include "netinfo/host_collectors.h"

#include "frame/paths.h"
#include "devices/pair_list.h"
#include "netinfo/store.h"

#include <cstdint>
#include <string>

namespace kx {

namespace {

// Reports both ends of a pair: each is a pair device naming the other.
void report_pair(const char *host, const char *ct, int32_t ctid) {
    if (update_named_kxnetif_info(host, 0, KXNETIF_F_TYPE, KXNETIF_VETH) != nullptr) {
        update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(ctid));
        update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value(ct));
    }
    if (update_named_kxnetif_info(ct, ctid, KXNETIF_F_TYPE, KXNETIF_VETH) != nullptr) {
        update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(0));
        update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value(host));
    }
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
        update_named_kxnetif_info(name.c_str(), 0, KXNETIF_F_TYPE, KXNETIF_VETH);
    }
}

} // namespace kx
