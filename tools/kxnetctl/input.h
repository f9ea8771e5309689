// Checks of the values a person types, made before the library is called so
// that a bad value changes nothing and is named in one line.
#pragma once

#include <optional>
#include <string>

namespace kxnetctl {

// An empty optional when `name` is a usable interface or bridge name (1 to
// 15 characters, no "/", no white space), else why not.
std::optional<std::string> bad_device_name(const std::string &what, const std::string &name);

// A VLAN id: decimal digits only, 0 to 4095.
std::optional<unsigned> parse_vlan_id(const std::string &text);

// "dhcp", or a dotted IPv4 address with an optional "/" and prefix 0..32.
bool is_address_argument(const std::string &text);

// A container id (decimal, 0 to 2147483647).
std::optional<int> parse_ctid(const std::string &text);
// "A-B" with A <= B.
bool parse_ctid_range(const std::string &text, int &low, int &high);

// A comma-separated list of kind names as a kind mask, or 0.
int parse_kinds(const std::string &text);

} // namespace kxnetctl
