// Resolution of documented paths against the optional sandbox root.
#include "frame/paths.h"

#include <stdlib.h>

namespace kx::paths {

std::string sandbox_root() {
    const char *root = secure_getenv("KXNET_ROOT");
    if (root == nullptr) return {};
    std::string value(root);
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (value == "/") return {};
    return value;
}

std::string rooted(std::string_view documented) {
    std::string result = sandbox_root();
    result.append(documented);
    return result;
}

} // namespace kx::paths
