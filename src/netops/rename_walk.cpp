// The rename walk: every container's configuration is opened for writing,
// the interfaces bound to the old network id are rebound to the new one, and
// the configuration is saved when something changed.
#include "netops/rename_walk.h"

#include "kxctl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include "frame/kxctl_owned.h"

#include <memory>

namespace kx {

namespace {


// Rebinds the matching entries: how many changed, or -1 when memory is short
// (entries changed so far keep the new id; nothing is saved).
int rebind_entries(kxctl_env_param &param, const char *current_id, const char *new_id) {
    if (param.veth_list == nullptr) return 0;
    int changed = 0;
    for (kxctl_link *at = param.veth_list->next; at != param.veth_list; at = at->next) {
        auto *entry = reinterpret_cast<kxctl_veth *>(at);
        if (entry->network == nullptr || std::strcmp(entry->network, current_id) != 0) continue;
        char *copy = strdup(new_id);
        if (copy == nullptr) return -1;
        std::free(entry->network);
        entry->network = copy;
        ++changed;
    }
    return changed;
}

// 0, or the nonzero answer that ends the walk.
int rename_in_container(uint32_t ctid, const char *current_id, const char *new_id) {
    char path[4096] = {};
    if (kxctl_get_env_conf_path(ctid, path, sizeof path) != 0) return 0;
    kxctl_conf_ptr conf(kxctl_conf_open(path, KXCTL_CONF_WRITE));
    if (!conf) return 0;
    if (kxctl_conf_parse(ctid, conf.get()) != 0) return 0;
    kxctl_param_ptr param(kxctl_conf_get_env_param(conf.get()));
    if (!param) return 0;

    int changed = rebind_entries(*param, current_id, new_id);
    if (changed < 0) return ENOMEM;
    if (changed == 0) return 0;
    // A configuration whose parameters were not taken is not saved.
    int set = kxctl_conf_set_env_param(conf.get(), param.get());
    if (set != 0) return set;
    return kxctl_conf_save(conf.get(), path);
}

} // namespace

int rename_walk(const char *current_id, const char *new_id) {
    kxctl_open();
    kxctl_ids_ptr ids(kxctl_alloc_env_ids());
    if (!ids) return ENOMEM;
    int count = kxctl_get_env_ids_by_state(ids.get(), KXCTL_ENV_ALL);
    if (count <= 0) return count;
    for (int i = 0; i < count && i < ids->count; ++i) {
        int answer = rename_in_container(ids->ids[i], current_id, new_id);
        if (answer != 0) return answer;
    }
    return 0;
}

} // namespace kx
