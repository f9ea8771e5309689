// The name rule shared by every export that takes a device, bridge or VLAN
// name, and its one log line.
#include "frame/names.h"

#include "frame/log.h"

#include <cstring>
#include <net/if.h>

namespace kx {

namespace {

bool plain_character(char c) {
    const bool letter_or_digit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return letter_or_digit || c == '.' || c == '_' || c == '-' || c == '@' || c == '+';
}

} // namespace

bool plain_name_characters(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!plain_character(c)) return false;
    return true;
}

bool acceptable_name(const char *name) {
    if (name == nullptr) return false;
    const std::size_t length = strnlen(name, IFNAMSIZ);
    if (length >= IFNAMSIZ || name[0] == '-') return false;
    // The kernel refuses these two (they would name directories in sysfs);
    // as ifcfg suffixes and command arguments they are paths.
    const std::string_view whole(name, length);
    if (whole == "." || whole == "..") return false;
    return plain_name_characters(whole);
}

bool name_accepted(const char *name) {
    if (acceptable_name(name)) return true;
    kxnet_log("Invalid interface name \"%s\"", show(name));
    return false;
}

} // namespace kx
