// The kind index: per-kind trees of per-container name tables, with a
// direct host entry and a last-container cache per kind.
#include "netinfo/kind_index.h"

#include "netinfo/store.h"

#include <new>

namespace kx {

std::string_view iface_record_name::operator()(const iface_record &record) const noexcept { return record.name; }

kind_index::container_entry &kind_index::entry_for(kind_slot &slot, int32_t ctid) {
    if (ctid == 0) return slot.host;
    if (slot.last && slot.last->ctid == ctid) return *slot.last;
    auto [it, created] = slot.others.try_emplace(ctid);
    if (created) it->second.ctid = ctid;
    slot.last = &it->second;
    return it->second;
}

kind_index::container_entry *kind_index::existing_entry(kind_slot &slot, int32_t ctid) noexcept {
    if (ctid == 0) return &slot.host;
    if (slot.last && slot.last->ctid == ctid) return slot.last;
    auto it = slot.others.find(ctid);
    if (it == slot.others.end()) return nullptr;
    slot.last = &it->second;
    return &it->second;
}

iface_record *kind_index::find(int32_t kind, int32_t ctid, const char *name) {
    if (!name || !in_range(kind)) return nullptr;
    container_entry &entry = entry_for(slots_[kind], ctid);
    return entry.by_name.find(name);
}

bool kind_index::insert(int32_t kind, iface_record *record) noexcept {
    if (!in_range(kind)) return true; // kinds outside the slots are never looked up
    try {
        container_entry &entry = entry_for(slots_[kind], record->ctid);
        entry.by_name.insert(record);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool kind_index::move(int32_t from, int32_t to, iface_record *record) noexcept {
    if (from == to) return true;
    if (!insert(to, record)) return false;
    erase(from, record);
    return true;
}

void kind_index::erase(int32_t kind, const iface_record *record) noexcept {
    if (!in_range(kind)) return;
    container_entry *entry = existing_entry(slots_[kind], record->ctid);
    if (!entry) return;
    entry->by_name.erase(record);
}

void kind_index::remove_all() noexcept {
    for (kind_slot &slot : slots_) {
        slot.host.by_name.clear();
        for (auto &[ctid, entry] : slot.others) entry.by_name.clear();
    }
}

void kind_index::clear() noexcept {
    for (kind_slot &slot : slots_) {
        slot.host.by_name.clear();
        slot.others.clear();
        slot.last = nullptr;
    }
}

} // namespace kx
