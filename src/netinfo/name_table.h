// A table of records by name for the kind index: open addressing with linear
// probing, each slot holding a name's hash and the record whose own name is
// the key.  No node per entry and no key copy: a snapshot of thousands of
// links enters and looks up every name several times, and a node table's
// allocation, division and chain walk cost more than the rest of a lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kx {

struct iface_record;

class name_table {
public:
    // The record entered under `name`; null when there is none.
    iface_record *find(std::string_view name) const noexcept;
    // Enters `record` under its name, taking over an entry of that name; may
    // throw std::bad_alloc, with the table unchanged.
    void insert_or_assign(iface_record *record);
    // Removes the entry of `record`'s name when `record` is the one entered.
    void erase(const iface_record *record) noexcept;
    // Removes every entry, keeping the room they took.
    void clear() noexcept;

private:
    struct slot {
        uint64_t hash = 0;
        iface_record *record = nullptr; // null: free
    };
    // The slot holding `name`, or the free slot where the probe for it ends;
    // the table must not be empty.
    std::size_t probe(std::string_view name, uint64_t hash) const noexcept;
    void grow();

    std::vector<slot> slots_; // a power of two in size, at most half used
    std::size_t used_ = 0;
};

} // namespace kx
