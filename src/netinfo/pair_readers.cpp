// The container kernel's device lists: "/proc/kx/veth" (virtual pairs, kept
// as the library's pair list and reported with both ends) and
// "/proc/kx/vmth" (further pair devices of the host).
#include "netinfo/host_collectors.h"

#include "frame/paths.h"
#include "netinfo/kernel_lines.h"
#include "netinfo/store.h"
#include "registry/model.h"

#include <cstdint>
#include <string>

namespace kx {

namespace {

// Fields end at spaces; the line break is no part of the last one.
constexpr std::string_view field_delimiters = " \n";

// Reports both ends of a pair: each is a pair device naming the other.
void report_pair(const std::string &host, const std::string &ct, int32_t ctid) {
    if (update_named_kxnetif_info(host.c_str(), 0, KXNETIF_F_TYPE, KXNETIF_VETH) != nullptr) {
        update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(ctid));
        update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value(ct.c_str()));
    }
    if (update_named_kxnetif_info(ct.c_str(), ctid, KXNETIF_F_TYPE, KXNETIF_VETH) != nullptr) {
        update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(0));
        update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value(host.c_str()));
    }
}

void read_pair_line(const char *line, int update) {
    std::vector<std::string_view> fields = split_fields(line, field_delimiters);
    if (fields.size() < 5) return;
    std::string host(fields[1]);
    std::string ct(fields[3]);
    int32_t ctid = decimal_prefix(fields[4]);
    veth_pair_add(host.c_str(), ct.c_str(), ctid);
    if (update != 0) report_pair(host, ct, ctid);
}

// Opens a pair list and reads its header: empty unless the header is the
// one this reader understands.
kernel_file open_pair_list(std::string_view documented) {
    kernel_file stream = open_kernel_file(documented);
    if (!stream) return stream;
    char line[kernel_line_size];
    if (!read_kernel_line(stream.get(), line) || !is_pair_list_header(line)) return {};
    return stream;
}

} // namespace

void read_proc_veth(int update) {
    kernel_file stream = open_pair_list(paths::proc_veth);
    if (!stream) return;
    veth_pairs_clear();
    char line[kernel_line_size];
    while (read_kernel_line(stream.get(), line)) read_pair_line(line, update);
}

void read_proc_vmth() {
    kernel_file stream = open_pair_list(paths::proc_vmth);
    if (!stream) return;
    char line[kernel_line_size];
    while (read_kernel_line(stream.get(), line)) {
        std::vector<std::string_view> fields = split_fields(line, field_delimiters);
        if (fields.empty()) continue;
        std::string name(fields[0]);
        update_named_kxnetif_info(name.c_str(), 0, KXNETIF_F_TYPE, KXNETIF_VETH);
    }
}

} // namespace kx
