// The address argument of host address assignment: exactly "dhcp", or a
// dotted IPv4 address with an optional "/" and a decimal prefix length.
// What the live device, the ifcfg file and the registry each take from it.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::string_view dhcp_address = "dhcp";
// The registry keeps address texts of at most this many characters.
inline constexpr std::size_t address_text_max = 19;

inline bool is_dhcp(std::string_view text) { return text == dhcp_address; }

// The text before the first "/".
std::string_view address_part(std::string_view text);

// The address part as a dotted IPv4 address (inet_pton); false when it is
// not one.
bool parse_address_part(std::string_view text, in_addr &address);

// The prefix length for the live device: the decimal after the "/"; 32 when
// there is no "/" or the value lies outside 0..32.
int device_prefix_length(std::string_view text);

// The netmask for the ifcfg file: the dotted mask of a prefix of 1..32;
// 255.255.255.255 without a "/" or for a prefix outside 1..32 (0 included).
std::string file_netmask(std::string_view text);

// Whether the text is taken as given: "dhcp", or a valid dotted address
// optionally followed by "/" and one or more decimal digits, at most
// address_text_max characters in all.  Anything else is refused before any
// change, so the registry never records a text other than the one applied.
bool address_text_acceptable(std::string_view text);

} // namespace kx
