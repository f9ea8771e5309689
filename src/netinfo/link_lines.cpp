// Reads back the four lines per link that the dump writes inside a
// container: name, addresses, hardware address, flags.
#include "netinfo/link_dump.h"

#include "sys/text_file.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

// A line keeps at most 1023 characters, as a 1024-byte buffer would.
constexpr std::size_t line_max = 1023;

// One line without its break, up to a NUL byte; false when nothing could be
// read.  The rest of a longer line is skipped so the next read starts on the
// next line.
bool read_line(FILE *in, std::string &line) {
    std::string whole;
    if (!read_text_line(in, whole, line_max)) return false;
    line = up_to_nul(whole);
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
