// Selecting records for a result list and releasing the list again.
#include "netinfo/selection.h"

#include "netinfo/public_records.h"

#include <cstring>
#include <new>

namespace kx {

namespace {

// A filter string that is set must be matched by an equal record string.
bool text_matches(const char *wanted, const std::string *have) {
    return wanted == nullptr || (have != nullptr && *have == wanted);
}

const std::string *text_of(const std::optional<std::string> &field) { return field ? &*field : nullptr; }

std::vector<iface_record *> passing(const kxnet_filter *filter) {
    std::vector<iface_record *> found;
    for (iface_record &record : store_live_mutable())
        if (filter_passes(filter, record)) found.push_back(&record);
    return found;
}

} // namespace

bool filter_passes(const kxnet_filter *filter, const iface_record &record) {
    if (filter == nullptr) return true;
    return filter->ctid_min <= record.ctid && record.ctid <= filter->ctid_max &&
           (static_cast<uint32_t>(record.type) & filter->type_mask) != 0 &&
           text_matches(filter->network_id, text_of(record.network_id)) &&
           text_matches(filter->bridge, text_of(record.bridge)) && text_matches(filter->name, &record.name);
}

kxnetif_info_list *select_kxnetif_info(const kxnet_filter *filter) {
    std::vector<kxnetif_info *> items;
    std::vector<iface_record *> held;
    try {
        std::vector<iface_record *> found = passing(filter);
        items.reserve(found.size());
        held.reserve(found.size());
        for (iface_record *record : found) {
            hold_iface(*record);
            held.push_back(record);
            items.push_back(publish(*record));
        }
    } catch (const std::bad_alloc &) {
        for (iface_record *record : held) release_iface(*record);
        return nullptr;
    }
    kxnetif_info_list *list = make_info_list(items);
    if (list == nullptr)
        for (iface_record *record : held) release_iface(*record);
    return list;
}

void release_kxnetif_info_list(kxnetif_info_list *list) {
    if (list == nullptr) return;
    for (kxnetif_info **item = list->items; item != nullptr && *item != nullptr; ++item)
        release_iface(record_of(*item));
    free_info_list(list);
}

held_ifaces::held_ifaces(const kxnet_filter *filter) : records_(passing(filter)) {
    for (iface_record *record : records_) hold_iface(*record);
}

held_ifaces::~held_ifaces() {
    for (iface_record *record : records_) release_iface(*record);
}

} // namespace kx
