// Reading the container kernel's pair list into the registry's pair list.
#include "devices/pair_list.h"

#include "registry/model.h"
#include "sys/paths.h"

#include <string>
#include <vector>

namespace kx {

namespace {

// Fields end at spaces; the line break is no part of the last one.
constexpr std::string_view field_delimiters = " \n";

void read_pair_line(const char *line, pair_sink report) {
    std::vector<std::string_view> fields = split_fields(line, field_delimiters);
    if (fields.size() < 5) return;
    std::string host(fields[1]);
    std::string ct(fields[3]);
    int32_t ctid = decimal_prefix(fields[4]);
    veth_pair_add(host.c_str(), ct.c_str(), ctid);
    if (report != nullptr) report(host.c_str(), ct.c_str(), ctid);
}

} // namespace

kernel_file open_pair_list(std::string_view documented) {
    kernel_file stream = open_kernel_file(documented);
    if (!stream) return stream;
    char line[kernel_line_size];
    if (!read_kernel_line(stream.get(), line) || !is_pair_list_header(line)) return {};
    return stream;
}

void read_pair_list(pair_sink report) {
    kernel_file stream = open_pair_list(paths::proc_veth);
    if (!stream) return;
    veth_pairs_clear();
    char line[kernel_line_size];
    while (read_kernel_line(stream.get(), line)) read_pair_line(line, report);
}

} // namespace kx
