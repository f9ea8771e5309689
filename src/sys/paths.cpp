// Resolution of documented paths against the optional sandbox root.
#include "sys/paths.h"

#include <cstring>
#include <stdlib.h>

namespace kx::paths {

namespace {

// The root without trailing slashes; empty when unset or "/".
std::string_view root_prefix() {
    const char *root = secure_getenv("KXNET_ROOT");
    if (root == nullptr) return {};
    std::string_view value(root);
    while (value.size() > 1 && value.back() == '/') value.remove_suffix(1);
    if (value == "/") return {};
    return value;
}

} // namespace

std::string sandbox_root() { return std::string(root_prefix()); }

std::string rooted(std::string_view documented) {
    std::string result(root_prefix());
    result.append(documented);
    return result;
}

std::string command_path_entry() {
    std::string entry("PATH=");
    const std::string_view root = root_prefix();
    if (!root.empty()) {
        entry.append(root).append(sandbox_sbin).append(":");
        entry.append(root).append(sandbox_root_sbin).append(":");
    }
    entry.append(command_search);
    return entry;
}

fixed_path rooted_fixed(std::string_view documented) noexcept {
    fixed_path path;
    path.text[0] = '\0';
    std::string_view root = root_prefix();
    if (root.size() + documented.size() >= sizeof path.text) return path;
    // Without a sandbox root the prefix is empty and may have no data at all.
    if (!root.empty()) std::memcpy(path.text, root.data(), root.size());
    if (!documented.empty())
        std::memcpy(path.text + root.size(), documented.data(), documented.size());
    path.text[root.size() + documented.size()] = '\0';
    return path;
}

} // namespace kx::paths
