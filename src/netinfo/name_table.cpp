// The kind index's name table: probing, growth by doubling, and removal by
// shifting the entries after a freed slot back toward their home slots, so
// a lookup never meets a marker of a removed entry.
#include "netinfo/name_table.h"

#include "netinfo/store.h"

#include <algorithm>

namespace kx {

namespace {

// FNV-1a, then a final mix: the table indexes by the low bits, which FNV
// alone leaves alike for names that differ in a digit ("va1", "va2", ...).
uint64_t name_hash(std::string_view name) noexcept {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3ULL;
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    return hash ^ (hash >> 33);
}

} // namespace

std::size_t name_table::probe(std::string_view name, uint64_t hash) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = static_cast<std::size_t>(hash) & mask;
    while (slots_[at].record != nullptr && (slots_[at].hash != hash || slots_[at].record->name != name))
        at = (at + 1) & mask;
    return at;
}

iface_record *name_table::find(std::string_view name) const noexcept {
    if (used_ == 0) return nullptr;
    return slots_[probe(name, name_hash(name))].record;
}

void name_table::grow() {
    std::vector<slot> bigger(slots_.empty() ? 16 : 2 * slots_.size());
    const std::size_t mask = bigger.size() - 1;
    for (const slot &entry : slots_) {
        if (entry.record == nullptr) continue;
        std::size_t at = static_cast<std::size_t>(entry.hash) & mask;
        while (bigger[at].record != nullptr) at = (at + 1) & mask;
        bigger[at] = entry;
    }
    slots_.swap(bigger);
}

void name_table::insert_or_assign(iface_record *record) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const uint64_t hash = name_hash(record->name);
    slot &entry = slots_[probe(record->name, hash)];
    if (entry.record == nullptr) ++used_;
    entry = {hash, record};
}

void name_table::erase(const iface_record *record) noexcept {
    if (used_ == 0) return;
    std::size_t hole = probe(record->name, name_hash(record->name));
    if (slots_[hole].record != record) return;
    // An entry after the hole moves into it unless its home slot lies
    // after the hole, on the way to the entry.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = (hole + 1) & mask; slots_[at].record != nullptr; at = (at + 1) & mask) {
        const std::size_t home = static_cast<std::size_t>(slots_[at].hash) & mask;
        if (((at - home) & mask) >= ((at - hole) & mask)) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = {};
    --used_;
}

void name_table::clear() noexcept {
    std::fill(slots_.begin(), slots_.end(), slot{});
    used_ = 0;
}

} // namespace kx
