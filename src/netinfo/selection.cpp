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

std::vector<iface_record *> passing(const selection &chosen) {
    std::vector<iface_record *> found;
    for (iface_record &record : store_live_mutable())
        if (selection_passes(chosen, record)) found.push_back(&record);
    return found;
}

} // namespace

selection selection_of(const kxnet_filter *filter) {
    if (filter == nullptr) return selection{};
    return selection{false,        filter->type_mask, filter->network_id, filter->bridge,
                     filter->name, filter->ctid_min,  filter->ctid_max};
}

selection records_in(int32_t ctid_min, int32_t ctid_max, const char *name) {
    return selection{false, KXNETIF_ALL, nullptr, nullptr, name, ctid_min, ctid_max};
}

bool selection_passes(const selection &chosen, const iface_record &record) {
    if (chosen.everything) return true;
    return chosen.ctid_min <= record.ctid && record.ctid <= chosen.ctid_max &&
           (static_cast<uint32_t>(record.type) & chosen.type_mask) != 0 &&
           text_matches(chosen.network_id, text_of(record.network_id)) &&
           text_matches(chosen.bridge, text_of(record.bridge)) && text_matches(chosen.name, &record.name);
}

kxnetif_info_list *select_kxnetif_info(const selection &chosen) {
    std::vector<kxnetif_info *> items;
    std::vector<iface_record *> held;
    try {
        std::vector<iface_record *> found = passing(chosen);
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

held_ifaces::held_ifaces(const selection &chosen) : records_(passing(chosen)) {
    for (iface_record *record : records_) hold_iface(*record);
}

held_ifaces::~held_ifaces() {
    for (iface_record *record : records_) release_iface(*record);
}

} // namespace kx
