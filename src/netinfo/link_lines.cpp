// Reads back the four lines per link that the dump writes inside a
// container: name, addresses, hardware address, flags.
#include "netinfo/link_dump.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

constexpr int line_buffer = 1024;

// One line without its break; false when nothing could be read.  The rest
// of a longer line is skipped so the next read starts on the next line.
bool read_line(FILE *in, std::string &line) {
    char buffer[line_buffer];
    if (fgets(buffer, sizeof buffer, in) == nullptr) return false;
    char *end = strchr(buffer, '\n');
    if (end != nullptr) {
        *end = '\0';
    } else {
        int c;
        while ((c = fgetc(in)) != EOF && c != '\n') {
        }
    }
    line = buffer;
    return true;
}

} // namespace

bool read_link_lines(FILE *in, link_lines &out) {
    std::string flags;
    if (!read_line(in, out.name) || !read_line(in, out.addrs) || !read_line(in, out.hwaddr) ||
        !read_line(in, flags))
        return false;
    out.flags = static_cast<uint32_t>(strtol(flags.c_str(), nullptr, 10));
    return true;
}

} // namespace kx
