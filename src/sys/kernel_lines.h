// Line reading of the kernel's text files (the pair list, the second device
// list, the VLAN table): read-only streams, a 256-byte line buffer so a long
// line arrives in pieces of at most 255 characters, and the pair list header.
#pragma once

#include "sys/stream.h"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace kx {

using kernel_file = unique_file;

// Opens a documented path (under the sandbox root) as a text file; empty
// when it cannot be opened or is no regular file.
kernel_file open_kernel_file(std::string_view documented);

inline constexpr int kernel_line_size = 256;

// The next piece of a line into `buffer` (newline kept when it fits); false
// at the end of the stream.
bool read_kernel_line(std::FILE *stream, char (&buffer)[kernel_line_size]);

// True for the header of "/proc/kx/veth" and "/proc/kx/vmth": optional
// spaces, "Version:", one or more spaces, "1.0" and the line break.
bool is_pair_list_header(const char *line);

// Decimal digits after optional spaces, up to the first other character
// (0 without digits); values past INT32_MAX stay at INT32_MAX.
int32_t decimal_prefix(std::string_view text);

// The pieces of `line` between runs of any of `delimiters`.
std::vector<std::string_view> split_fields(std::string_view line, std::string_view delimiters);

} // namespace kx
