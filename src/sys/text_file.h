// Opening and reading the library's text files (the registry, ifcfg files,
// the kernel's proc files, the collector's pipe).  Opens never block and take
// regular files only, so a FIFO or a device node in a file's place cannot hang
// or spin a caller that holds the host lock; lines are read whole, and a NUL
// byte inside a line neither joins it to the next nor drops the next.
#pragma once

#include "sys/stream.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// Longest line kept whole: memory stays bounded whatever a file holds.
inline constexpr std::size_t text_line_max = std::size_t{1} << 20;

// Opens `path` read-only (close-on-exec, no blocking open); null with errno
// set when it cannot be opened or is not a regular file (EINVAL then).
unique_file open_text_file(const char *path);

// Reads one line into `line` without its newline, NUL bytes kept; false at
// the end of the stream.  A line longer than `max` keeps its first `max`
// bytes, the rest is read and dropped, and `*overlong` (when given) is set.
bool read_text_line(std::FILE *stream, std::string &line, std::size_t max = text_line_max,
                    bool *overlong = nullptr);

// The text of a line up to its first NUL byte: what a C string of it holds.
inline std::string_view up_to_nul(std::string_view line) {
    return line.substr(0, line.find('\0'));
}

} // namespace kx
