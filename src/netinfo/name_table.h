// A table of records by name: open addressing with linear probing, each
// slot holding a name's hash and a pointer to the record whose own name is
// the key (`NameOf` reads it).  No node per entry and no key copy: a
// snapshot of thousands of links enters and looks up every name several
// times, and a node table's allocation, division and chain walk cost more
// than the rest of a lookup.  Removal shifts the entries after a freed slot
// back toward their home slots, so a lookup never meets a marker of a
// removed entry.  The one hash table of the information store.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kx {

// FNV-1a, then a final mix: the table indexes by the low bits, which FNV
// alone leaves alike for names that differ in a digit ("va1", "va2", ...).
inline uint64_t name_hash(std::string_view name) noexcept {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3ULL;
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    return hash ^ (hash >> 33);
}

template <class Record, class NameOf>
class name_table {
public:
    // The record entered under `name`; null when there is none.
    Record *find(std::string_view name) const noexcept {
        if (used_ == 0) return nullptr;
        return slots_[probe(name, name_hash(name))].record;
    }
    // Enters `record` under its name, taking over an entry of that name
    // (`replace`) or leaving it (the first of a name answers for it); may
    // throw std::bad_alloc, with the table unchanged.
    void insert(Record *record, bool replace = true) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        const std::string_view name = NameOf{}(*record);
        const uint64_t hash = name_hash(name);
        slot &entry = slots_[probe(name, hash)];
        if (entry.record == nullptr) ++used_;
        else if (!replace) return;
        entry = {hash, record};
    }
    // Removes the entry of `record`'s name when `record` is the one entered.
    void erase(const Record *record) noexcept {
        if (used_ == 0) return;
        std::size_t hole = probe(NameOf{}(*record), name_hash(NameOf{}(*record)));
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
    // Room for `count` entries without growing; an empty table is sized at
    // once rather than doubled step by step.
    void reserve(std::size_t count) {
        if (2 * count <= slots_.size()) return;
        std::size_t size = slots_.empty() ? 16 : slots_.size();
        while (size < 2 * count) size *= 2;
        if (used_ == 0) {
            slots_.assign(size, slot{});
            return;
        }
        while (slots_.size() < size) grow();
    }
    // Removes every entry, keeping the room they took.
    void clear() noexcept {
        std::fill(slots_.begin(), slots_.end(), slot{});
        used_ = 0;
    }

private:
    struct slot {
        uint64_t hash = 0;
        Record *record = nullptr; // null: free
    };

    // The slot holding `name`, or the free slot where the probe for it ends;
    // the table must not be empty.
    std::size_t probe(std::string_view name, uint64_t hash) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = static_cast<std::size_t>(hash) & mask;
        while (slots_[at].record != nullptr && (slots_[at].hash != hash || NameOf{}(*slots_[at].record) != name))
            at = (at + 1) & mask;
        return at;
    }

    void grow() {
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

    std::vector<slot> slots_; // a power of two in size, at most half used
    std::size_t used_ = 0;
};

} // namespace kx
