// Container id sets: every configured container (a <ctid>.conf file in the
// platform directory) or the running ones (their namespace file is a live
// namespace), the latter led by the host's id 0.
#include "guard.h"
#include "kxctl.h"
#include "layout.h"
#include "running.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// The id of a file name "<ctid>.conf" with ctid 1 to 2^32-1, else 0.
uint32_t ctid_of_conf_name(const char *name) {
    const char *dot = std::strchr(name, '.');
    if (dot == nullptr || dot == name || std::strcmp(dot, ".conf") != 0) return 0;
    if (dot - name > 10 || name[0] == '0') return 0;
    uint64_t value = 0;
    for (const char *p = name; p != dot; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

// The configured ids in ascending order; false when the directory exists
// but cannot be listed.
bool configured_ids(std::vector<uint32_t> &ids) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(kxctl::conf_dir().c_str()), closedir);
    if (!dir) return errno == ENOENT;
    while (const dirent *entry = readdir(dir.get()))
        if (uint32_t ctid = ctid_of_conf_name(entry->d_name)) ids.push_back(ctid);
    std::sort(ids.begin(), ids.end());
    return true;
}

bool store_ids(kxctl_env_ids *set, const std::vector<uint32_t> &ids) {
    if (ids.size() > static_cast<size_t>(set->capacity)) {
        void *grown = std::realloc(set->ids, ids.size() * sizeof(uint32_t));
        if (grown == nullptr) return false;
        set->ids = static_cast<uint32_t *>(grown);
        set->capacity = static_cast<int>(ids.size());
    }
    std::copy(ids.begin(), ids.end(), set->ids);
    set->count = static_cast<int>(ids.size());
    return true;
}

} // namespace

extern "C" int kxctl_open(void) { return 0; }

extern "C" kxctl_env_ids *kxctl_alloc_env_ids(void) {
    return static_cast<kxctl_env_ids *>(std::calloc(1, sizeof(kxctl_env_ids)));
}

extern "C" void kxctl_free_env_ids(kxctl_env_ids *ids) {
    if (ids == nullptr) return;
    std::free(ids->ids);
    std::free(ids);
}

extern "C" int kxctl_get_env_ids_by_state(kxctl_env_ids *set, int selector) {
    return kxctl::guarded(-1, [&] {
        if (set == nullptr || (selector != KXCTL_ENV_ALL && selector != KXCTL_ENV_RUNNING)) {
            errno = EINVAL;
            return -1;
        }
        std::vector<uint32_t> configured;
        if (!configured_ids(configured)) return -1;
        std::vector<uint32_t> chosen;
        if (selector == KXCTL_ENV_ALL) {
            chosen = std::move(configured);
        } else {
            chosen.push_back(0);
            for (uint32_t ctid : configured)
                if (kxctl::is_running(ctid)) chosen.push_back(ctid);
        }
        if (!store_ids(set, chosen)) return -1;
        return set->count;
    });
}
