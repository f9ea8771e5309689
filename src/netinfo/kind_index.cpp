// The kind index: per-kind trees of per-container name tables, with a
// direct host entry and a last-container cache per kind.
#include "netinfo/kind_index.h"

#include "netinfo/store.h"

#include <new>

namespace kx {

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
    auto it = entry.by_name.find(std::string_view(name));
    return it == entry.by_name.end() ? nullptr : it->second;
}

bool kind_index::insert(int32_t kind, iface_record *record) noexcept {
    if (!in_range(kind)) return true; // kinds outside the slots are never looked up
    try {
        container_entry &entry = entry_for(slots_[kind], record->ctid);
        entry.by_name.insert_or_assign(record->name, record);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool kind_index::move(int32_t from, int32_t to, iface_record *record) noexcept {
    if (!in_range(from) || !in_range(to) || from == to) {
        if (!insert(to, record)) return false;
        erase(from, record);
        return true;
    }
    try {
        container_entry &target = entry_for(slots_[to], record->ctid);
        container_entry *source = existing_entry(slots_[from], record->ctid);
        auto it = source ? source->by_name.find(std::string_view(record->name)) : decltype(source->by_name.end())();
        if (source == nullptr || it == source->by_name.end() || it->second != record) {
            target.by_name.insert_or_assign(record->name, record);
            return true;
        }
        auto moved = target.by_name.insert(source->by_name.extract(it));
        if (!moved.inserted) moved.position->second = record; // takes over an entry of that name
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void kind_index::erase(int32_t kind, const iface_record *record) noexcept {
    if (!in_range(kind)) return;
    container_entry *entry = existing_entry(slots_[kind], record->ctid);
    if (!entry) return;
    auto it = entry->by_name.find(std::string_view(record->name));
    if (it != entry->by_name.end() && it->second == record) entry->by_name.erase(it);
}

void kind_index::clear() noexcept {
    for (kind_slot &slot : slots_) {
        slot.host.by_name.clear();
        slot.others.clear();
        slot.last = nullptr;
    }
}

} // namespace kx
