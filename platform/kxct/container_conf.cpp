// Configuration access for kxct: the same open/parse/get and set/save calls
// the host library makes, so the tool writes what the library reads.
#include "container_conf.h"

#include "kxctl.h"
#include "layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace kxct {

namespace {

using conf_handle = std::unique_ptr<kxctl_conf, void (*)(kxctl_conf *)>;
using param_handle = std::unique_ptr<kxctl_env_param, void (*)(kxctl_env_param *)>;

void free_list(kxctl_link *head) {
    kxctl_link *link = head->next;
    while (link != head) {
        kxctl_link *next = link->next;
        std::free(reinterpret_cast<kxctl_veth *>(link)->network);
        std::free(link);
        link = next;
    }
    std::free(head);
}

} // namespace

std::optional<container_conf> load_conf(uint32_t ctid) {
    char path[4096];
    if (kxctl_get_env_conf_path(ctid, path, sizeof path) != 0) return std::nullopt;
    conf_handle conf(kxctl_conf_open(path, KXCTL_CONF_READ), kxctl_conf_close);
    if (!conf) {
        std::fprintf(stderr, "kxct: container %u is not configured (%s)\n", ctid, path);
        return std::nullopt;
    }
    param_handle param(kxctl_conf_parse(ctid, conf.get()) == 0 ? kxctl_conf_get_env_param(conf.get()) : nullptr,
                       kxctl_free_env_param);
    if (!param) {
        std::fprintf(stderr, "kxct: cannot parse %s\n", path);
        return std::nullopt;
    }
    container_conf result;
    if (param->root != nullptr) result.root = param->root;
    kxctl_link *head = param->veth_list;
    for (kxctl_link *link = head ? head->next : nullptr; link != nullptr && link != head; link = link->next) {
        const kxctl_veth *veth = reinterpret_cast<const kxctl_veth *>(link);
        result.veths.push_back({veth->dev_name, veth->network ? veth->network : ""});
    }
    return result;
}

bool save_new_conf(uint32_t ctid, const container_conf &conf) {
    std::error_code error;
    std::filesystem::create_directories(kxctl::conf_dir(), error);
    char path[4096];
    if (error || kxctl_get_env_conf_path(ctid, path, sizeof path) != 0) return false;
    conf_handle handle(kxctl_conf_open(path, KXCTL_CONF_WRITE), kxctl_conf_close);
    if (!handle) return false;
    kxctl_link *head = static_cast<kxctl_link *>(std::calloc(1, sizeof(kxctl_link)));
    if (head == nullptr) return false;
    head->next = head->prev = head;
    kxctl_env_param param{const_cast<char *>(conf.root.c_str()), head};
    bool linked = true;
    for (const veth_conf &veth : conf.veths) {
        kxctl_veth *entry = static_cast<kxctl_veth *>(std::calloc(1, sizeof(kxctl_veth)));
        if (entry == nullptr) {
            linked = false;
            break;
        }
        std::snprintf(entry->dev_name, sizeof entry->dev_name, "%s", veth.host_dev.c_str());
        entry->network = veth.network.empty() ? nullptr : strdup(veth.network.c_str());
        entry->link.prev = head->prev;
        entry->link.next = head;
        head->prev->next = &entry->link;
        head->prev = &entry->link;
    }
    bool saved = linked && kxctl_conf_set_env_param(handle.get(), &param) == 0 &&
                 kxctl_conf_save(handle.get(), path) == 0;
    free_list(head);
    if (!saved) std::fprintf(stderr, "kxct: cannot write %s (invalid device name or network id?)\n", path);
    return saved;
}

} // namespace kxct
