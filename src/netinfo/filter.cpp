// The information filter: a caller-owned record naming the kinds, names and
// container range a query collects and selects.
#include "kxnet_ct.h"

#include "frame/state.h"

#include <cstdlib>
#include <cstring>

namespace {

// A missing copy leaves the field empty, so the filter accepts every value.
char *copy_or_null(const char *s) { return s != nullptr ? strdup(s) : nullptr; }

} // namespace

extern "C" kxnet_filter *kxnet_get_simple_filter(int type_mask, const char *bridge,
                                                 const char *network_id, const char *name,
                                                 int ctid_min, int ctid_max) noexcept {
    if (kx::init_libkxnet_state() != 0) return nullptr;
    auto *filter = static_cast<kxnet_filter *>(calloc(1, sizeof(kxnet_filter)));
    if (filter == nullptr) return nullptr;
    filter->type_mask = static_cast<uint32_t>(type_mask);
    filter->bridge = copy_or_null(bridge);
    filter->network_id = copy_or_null(network_id);
    filter->name = copy_or_null(name);
    filter->ctid_min = ctid_min;
    filter->ctid_max = ctid_max;
    return filter;
}

extern "C" void kxnet_release_filter(kxnet_filter *filter) noexcept {
    if (filter == nullptr) return;
    free(filter->name);
    free(filter->bridge);
    free(filter->network_id);
    free(filter);
}
