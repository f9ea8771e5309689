// Validation of typed values: names, VLAN ids, addresses, container ids
// and kind lists.
#include "input.h"

#include "api.h"

#include <arpa/inet.h>
#include <cctype>
#include <climits>
#include <sstream>

namespace kxnetctl {

namespace {

std::optional<long long> parse_decimal(const std::string &text, long long max) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > max) return std::nullopt;
    return value;
}

} // namespace

std::optional<std::string> bad_device_name(const std::string &what, const std::string &name) {
    if (name.empty()) return what + " name is empty";
    if (name.size() > 15)
        return what + " name \"" + name + "\" is longer than 15 characters";
    for (char c : name)
        if (c == '/' || c == ':' || std::isspace(static_cast<unsigned char>(c)) || !std::isprint(static_cast<unsigned char>(c)))
            return what + " name \"" + name + "\" holds a character that a device name cannot";
    return std::nullopt;
}

std::optional<unsigned> parse_vlan_id(const std::string &text) {
    auto value = parse_decimal(text, 4095);
    if (!value) return std::nullopt;
    return static_cast<unsigned>(*value);
}

bool is_address_argument(const std::string &text) {
    if (text == "dhcp") return true;
    size_t slash = text.find('/');
    std::string address = text.substr(0, slash);
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    return slash == std::string::npos || parse_decimal(text.substr(slash + 1), 32).has_value();
}

std::optional<int> parse_ctid(const std::string &text) {
    auto value = parse_decimal(text, INT_MAX);
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
}

bool parse_ctid_range(const std::string &text, int &low, int &high) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) return false;
    auto a = parse_ctid(text.substr(0, dash));
    auto b = parse_ctid(text.substr(dash + 1));
    if (!a || !b || *a > *b) return false;
    low = *a;
    high = *b;
    return true;
}

int parse_kinds(const std::string &text) {
    int mask = 0;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        int kind = kind_value(item);
        if (kind == 0) return 0;
        mask |= kind;
    }
    return mask;
}

} // namespace kxnetctl
