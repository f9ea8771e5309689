// Reading the address argument: its address part, the prefix length for
// the device and the netmask for the ifcfg file.
#include "ifcfg/address_text.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>

namespace kx {

namespace {

// The decimal after the "/", read as strtol would (leading blanks, a sign,
// digits; none gives 0); -1 when there is no "/"; values past 32 bits stay
// out of range.
long prefix_value(std::string_view text) {
    std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return -1;
    std::string_view rest = text.substr(slash + 1);
    std::size_t at = 0;
    while (at < rest.size() && (rest[at] == ' ' || (rest[at] >= '\t' && rest[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < rest.size() && (rest[at] == '+' || rest[at] == '-')) negative = rest[at++] == '-';
    long value = 0;
    for (; at < rest.size() && rest[at] >= '0' && rest[at] <= '9'; ++at) {
        value = value * 10 + (rest[at] - '0');
        if (value > 1000) value = 1000; // far outside every range that matters
    }
    return negative ? -value : value;
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

} // namespace

std::string_view address_part(std::string_view text) { return text.substr(0, text.find('/')); }

bool parse_address_part(std::string_view text, in_addr &address) {
    std::string part(address_part(text));
    return inet_pton(AF_INET, part.c_str(), &address) == 1;
}

int device_prefix_length(std::string_view text) {
    long value = prefix_value(text);
    if (text.find('/') == std::string_view::npos || value < 0 || value > 32) return 32;
    return static_cast<int>(value);
}

std::string file_netmask(std::string_view text) {
    long prefix = prefix_value(text);
    if (prefix < 1 || prefix > 32) prefix = 32;
    const uint32_t mask = prefix == 32 ? 0xffffffffU : ~(0xffffffffU >> prefix);
    char dotted[20];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", mask >> 24, (mask >> 16) & 0xff,
                  (mask >> 8) & 0xff, mask & 0xff);
    return dotted;
}

bool address_text_acceptable(std::string_view text) {
    if (text.empty() || text.size() > address_text_max) return false;
    if (is_dhcp(text)) return true;
    in_addr address{};
    if (!parse_address_part(text, address)) return false;
    std::size_t slash = text.find('/');
    return slash == std::string_view::npos || all_digits(text.substr(slash + 1));
}

} // namespace kx
