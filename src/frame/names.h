// The one rule for names a caller hands in that end up in the registry,
// ifcfg files, shell command lines, command arguments and the log: device,
// bridge and VLAN names.  Every export that takes such a name refuses one
// outside the rule before it changes anything.
#pragma once

#include <string_view>

namespace kx {

// Letters, digits, '.', '_', '-', '@' and '+': characters that need no
// quoting in the shell and cannot close a quote or split a registry line.
bool plain_name_characters(std::string_view name);

// A whole name the kernel can hold (1 to 15 characters, never cut) in plain
// characters, not beginning with '-' (a command would take it for an option),
// and neither "." nor "..".
bool acceptable_name(const char *name);

// acceptable_name, and when it is not, the log line
// "Invalid interface name \"<name>\"".
bool name_accepted(const char *name);

} // namespace kx
