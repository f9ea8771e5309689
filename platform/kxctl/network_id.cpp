// Network ids: 1 to 63 letters, digits, '.', '_' and '-'.  Anything else
// could break the configuration line an id is written into.
#include "kxctl.h"

#include <cstring>

namespace {

constexpr size_t max_network_id = 63;

bool network_id_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

} // namespace

extern "C" int kxctl_is_networkid_valid(const char *network_id) {
    if (network_id == nullptr) return 0;
    size_t length = strnlen(network_id, max_network_id + 1);
    if (length == 0 || length > max_network_id) return 0;
    for (size_t i = 0; i < length; ++i)
        if (!network_id_char(network_id[i])) return 0;
    return 1;
}
