// Owned handles of the container-management library: each closes or frees
// what it holds when it goes out of scope.
#pragma once

#include "kxctl.h"

#include <memory>

namespace kx {

struct close_kxctl_conf {
    void operator()(kxctl_conf *conf) const { kxctl_conf_close(conf); }
};
struct free_kxctl_param {
    void operator()(kxctl_env_param *param) const { kxctl_free_env_param(param); }
};
struct free_kxctl_ids {
    void operator()(kxctl_env_ids *ids) const { kxctl_free_env_ids(ids); }
};

using kxctl_conf_ptr = std::unique_ptr<kxctl_conf, close_kxctl_conf>;
using kxctl_param_ptr = std::unique_ptr<kxctl_env_param, free_kxctl_param>;
using kxctl_ids_ptr = std::unique_ptr<kxctl_env_ids, free_kxctl_ids>;

} // namespace kx
