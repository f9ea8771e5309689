// The kind index of the information store: live records by (kind, container,
// name). One slot per kind value; each slot keeps a tree of per-container
// entries, a direct entry for the host (container 0) and a one-entry cache of
// the last other container used, so a collector walking one container finds
// its names at once. Entries are made on first use and never removed.
#pragma once

#include "netinfo/name_table.h"

#include <array>
#include <cstdint>
#include <map>

namespace kx {

struct iface_record;

// The name a record is entered under.
struct iface_record_name {
    std::string_view operator()(const iface_record &record) const noexcept;
};

class kind_index {
public:
    // The record under `kind`, container and name; null when there is none.
    // Creates the container entry when missing (may throw std::bad_alloc).
    iface_record *find(int32_t kind, int32_t ctid, const char *name);
    // Enters `record` under `kind`, its container and name; an entry of the
    // same name is taken over. False when memory ran out (nothing changed).
    bool insert(int32_t kind, iface_record *record) noexcept;
    // Moves `record` from under `from` to under `to` (its kind changes): insert
    // under `to`, then erase under `from`.  False when memory ran out
    // (nothing changed).
    bool move(int32_t from, int32_t to, iface_record *record) noexcept;
    // Removes `record` from under `kind` when it is the record entered there.
    void erase(int32_t kind, const iface_record *record) noexcept;
    // Drops every entry (the store is being emptied).
    void clear() noexcept;
    // Removes every record, keeping the container entries and the room
    // their tables took (every live record is being retired).
    void remove_all() noexcept;

    static constexpr int32_t slot_count = 33;

private:
    struct container_entry {
        int32_t ctid = 0;
        name_table<iface_record, iface_record_name> by_name;
    };
    struct kind_slot {
        container_entry host;
        std::map<int32_t, container_entry> others;
        container_entry *last = nullptr;
    };

    static bool in_range(int32_t kind) { return kind >= 0 && kind < slot_count; }
    container_entry &entry_for(kind_slot &slot, int32_t ctid);
    container_entry *existing_entry(kind_slot &slot, int32_t ctid) noexcept;

    std::array<kind_slot, slot_count> slots_;
};

} // namespace kx
