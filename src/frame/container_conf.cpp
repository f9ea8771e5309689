// open_container_conf: the first steps of every configuration walk.
#include "frame/container_conf.h"

#include <algorithm>

namespace kx {

std::optional<container_conf> open_container_conf(uint32_t ctid, std::size_t path_size, int mode) {
    char path[4096] = {};
    const int size = static_cast<int>(std::min(path_size, sizeof path));
    if (kxctl_get_env_conf_path(ctid, path, size) != 0) return std::nullopt;
    container_conf out;
    out.path = path;
    out.conf.reset(kxctl_conf_open(path, mode));
    if (!out.conf || kxctl_conf_parse(ctid, out.conf.get()) != 0) return std::nullopt;
    out.param.reset(kxctl_conf_get_env_param(out.conf.get()));
    if (!out.param) return std::nullopt;
    return out;
}

} // namespace kx
