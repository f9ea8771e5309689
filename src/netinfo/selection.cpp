// Selecting records for a result list and releasing the list again.  The
// array grows by doubling from 16 entries and always ends with a null entry.
#include "netinfo/selection.h"

#include "netinfo/store.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

constexpr size_t initial_capacity = 16;

// A filter string that is set must be matched by an equal record string.
bool text_matches(const char *wanted, const char *have) {
    return wanted == nullptr || (have != nullptr && strcmp(wanted, have) == 0);
}

// Appends `record` and keeps room for the terminating null; false when the
// array cannot grow.
bool append(kxnetif_info_list &list, size_t &count, size_t &capacity, kxnetif_info *record) {
    ++record->refcount;
    list.items[count++] = record;
    list.items[count] = nullptr;
    if (count + 1 < capacity) return true;
    void *grown = realloc(list.items, 2 * capacity * sizeof(kxnetif_info *));
    if (grown == nullptr) return false;
    list.items = static_cast<kxnetif_info **>(grown);
    capacity *= 2;
    return true;
}

} // namespace

bool filter_passes(const kxnet_filter *filter, const kxnetif_info *record) {
    if (filter == nullptr) return true;
    return filter->ctid_min <= record->ctid && record->ctid <= filter->ctid_max &&
           (static_cast<uint32_t>(record->type) & filter->type_mask) != 0 &&
           text_matches(filter->network_id, record->network_id) &&
           text_matches(filter->bridge, record->bridge) && text_matches(filter->name, record->name);
}

kxnetif_info_list *select_kxnetif_info(const kxnet_filter *filter) {
    auto *list = static_cast<kxnetif_info_list *>(malloc(sizeof(kxnetif_info_list)));
    if (list == nullptr) return nullptr;
    size_t capacity = initial_capacity;
    list->items = static_cast<kxnetif_info **>(malloc(capacity * sizeof(kxnetif_info *)));
    if (list->items == nullptr) {
        free(list);
        return nullptr;
    }
    list->items[0] = nullptr;
    size_t count = 0;
    for (kxnetif_info *record = store_live_head(); record != nullptr; record = record->next) {
        if (!filter_passes(filter, record)) continue;
        if (!append(*list, count, capacity, record)) {
            release_kxnetif_info_list(list);
            return nullptr;
        }
    }
    return list;
}

void release_kxnetif_info_list(kxnetif_info_list *list) {
    if (list == nullptr) return;
    for (kxnetif_info **item = list->items; item != nullptr && *item != nullptr; ++item)
        release_kxnetif_info(*item);
    free(list->items);
    free(list);
}

} // namespace kx
