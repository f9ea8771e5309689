// What the library reads out of an ifcfg file's text: its DEVICE= keys in
// line order and how many of its lines set BOOTPROTO to dhcp.  Both are
// found on physical lines, as the distributions' start-up scripts match
// them line by line (a key continued from the line before does not count,
// however long that line is); the address rewrite, which must never edit
// text inside another line's value, reads the shell's logical lines through
// shell_reader instead.  One pass reads both, and what a file says is kept
// per path while the file stays as it was read, so a query reads only the
// files that changed since the one before.
#pragma once

#include "sys/file_identity.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// The key that names the device a file configures.
inline constexpr std::string_view ifcfg_device_key = "DEVICE=";

struct ifcfg_facts {
    std::vector<std::string> device_keys; // each "DEVICE=" value, up to white space
    int dhcp_lines = 0;                   // lines setting BOOTPROTO to something holding "dhcp"
};

// The facts of the regular file at `path`, whose identity `identity` was
// taken before it is read.  A file that cannot be read says nothing.  Keep
// the pointer while reading through it: the cache may not hold the facts of
// a file changed just now.  May throw std::bad_alloc.
std::shared_ptr<const ifcfg_facts> ifcfg_facts_of(const std::string &path, const file_identity &identity);

// The value of a physical line that opens with `key` ("DEVICE="), or of one
// that opens with it after blanks (" \t\r\f\v") when `after_blanks`.
std::optional<std::string_view> ifcfg_line_value(std::string_view line, std::string_view key, bool after_blanks);

// Whether a character ends an ifcfg value read this way.
inline bool ifcfg_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace kx
