// The rename walk: every container's configuration is opened for writing,
// the interfaces bound to the old network id are rebound to the new one, and
// the configuration is saved when something changed.
#include "netops/rename_walk.h"

#include "frame/container_conf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

constexpr std::size_t conf_path_size = 4096;

// Rebinds the matching entries: how many changed, or -ENOMEM when memory is
// short (entries changed so far keep the new id; nothing is saved).
int rebind_entries(kxctl_env_param &param, const char *current_id, const char *new_id) {
    int changed = 0;
    for_each_container_veth(param, [&](kxctl_veth &entry) {
        if (entry.network == nullptr || std::strcmp(entry.network, current_id) != 0) return false;
        char *copy = strdup(new_id);
        if (copy == nullptr) {
            changed = -ENOMEM;
            return true;
        }
        std::free(entry.network);
        entry.network = copy;
        ++changed;
        return false;
    });
    return changed;
}

// 0, or the negative errno that ends the walk.
int rename_in_container(uint32_t ctid, const char *current_id, const char *new_id) {
    std::optional<container_conf> conf = open_container_conf(ctid, conf_path_size, KXCTL_CONF_WRITE);
    if (!conf) return 0;
    int changed = rebind_entries(*conf->param, current_id, new_id);
    if (changed <= 0) return changed;
    // Both are asked even when the first refuses; either refusal ends the walk.
    int set = kxctl_conf_set_env_param(conf->conf.get(), conf->param.get());
    int saved = kxctl_conf_save(conf->conf.get(), conf->path.c_str());
    return (set | saved) != 0 ? -EIO : 0;
}

} // namespace

int rename_walk(const char *current_id, const char *new_id) {
    kxctl_open();
    kxctl_ids_ptr ids(kxctl_alloc_env_ids());
    if (!ids) return -ENOMEM;
    int count = kxctl_get_env_ids_by_state(ids.get(), KXCTL_ENV_ALL);
    if (count < 0) return -EIO;
    for (int i = 0; i < count && i < ids->count; ++i) {
        int answer = rename_in_container(ids->ids[i], current_id, new_id);
        if (answer != 0) return answer;
    }
    return 0;
}

} // namespace kx
