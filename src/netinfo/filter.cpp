// The information filter: a caller-owned record naming the kinds, names and
// container range a query collects and selects.
#include "kxnet_ct.h"

#include "frame/state.h"

#include <cstdlib>
#include <cstring>

namespace {

// A copy of a given string into `field`; false when memory is short (a
// field left empty would accept every value, widening the selection).
bool copy_into(char *&field, const char *s) {
    if (s == nullptr) return true;
    field = strdup(s);
    return field != nullptr;
}

} // namespace

extern "C" kxnet_filter *kxnet_get_simple_filter(int type_mask, const char *bridge,
                                                 const char *network_id, const char *name,
                                                 int ctid_min, int ctid_max) noexcept {
    if (kx::init_libkxnet_state() != 0) return nullptr;
    auto *filter = static_cast<kxnet_filter *>(calloc(1, sizeof(kxnet_filter)));
    if (filter == nullptr) return nullptr;
    filter->type_mask = static_cast<uint32_t>(type_mask);
    if (!copy_into(filter->bridge, bridge) || !copy_into(filter->network_id, network_id) ||
        !copy_into(filter->name, name)) {
        kxnet_release_filter(filter);
        return nullptr;
    }
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
