// A registry list of devices, each with its entries (the VLANs over a device,
// the addresses configured on one): insertion order kept, no two devices of
// one name, no two entries of one key under a device.  Both lists find or
// create through `device_list::add`; devices are found by name through the
// list's index, entries by key through their device's index past a few, so
// loading a large registry stays linear.
#pragma once

#include "registry/named_list.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx {

// Device names are kept as a 16-byte field keeps them: 15 characters.
inline constexpr std::size_t name_max = 15;

// The part of `name` a 16-byte name field keeps.
inline std::string_view field_name(std::string_view name) { return name.substr(0, name_max); }

// One device and its entries in order.  `Entry::key()` tells entries apart.
template <class Entry> class device_entries {
public:
    using key_type = std::decay_t<decltype(std::declval<const Entry &>().key())>;

    explicit device_entries(std::string_view name) : name_(field_name(name)) {}

    const std::string &name() const noexcept { return name_; }
    const std::vector<Entry> &entries() const noexcept { return entries_; }

    const Entry *find(const key_type &key) const noexcept {
        if (!index_.empty()) {
            auto found = index_.find(key);
            return found != index_.end() ? &entries_[found->second] : nullptr;
        }
        for (const Entry &entry : entries_)
            if (entry.key() == key) return &entry;
        return nullptr;
    }

    // Appends an entry whose key the device does not hold yet.
    void append(Entry entry) {
        entries_.push_back(std::move(entry));
        try {
            if (!index_.empty())
                index_.emplace(entries_.back().key(), entries_.size() - 1);
            else if (entries_.size() >= indexed_from)
                for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].key(), i);
        } catch (...) {
            entries_.pop_back();
            index_.clear();
            throw;
        }
    }

    // Removes the entry at `entry`, which must be one of this device's.
    // Removal is rare (one VLAN at a time): the index is renumbered.
    void erase(const Entry *entry) noexcept {
        const auto at = static_cast<std::size_t>(entry - entries_.data());
        index_.erase(entry->key());
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
        for (auto &slot : index_)
            if (slot.second > at) --slot.second;
    }

private:
    // Few entries are searched in order; more get a key index.
    static constexpr std::size_t indexed_from = 16;

    std::string name_;
    std::vector<Entry> entries_;
    std::unordered_map<key_type, std::size_t> index_; // key to position
};

template <class Entry>
class device_list : public named_list<device_entries<Entry>, &device_entries<Entry>::name> {
public:
    using device = device_entries<Entry>;

    device *find(std::string_view name) noexcept { return base::find(field_name(name)); }

    // The device (found, or made and listed) holding an entry of `key`;
    // `make(device_name)` builds the entry when it is new.  Throws when memory
    // is short, leaving the list as it was.
    template <class Make>
    device *add(std::string_view name, const typename device::key_type &key, Make &&make) {
        if (device *held = find(name)) {
            if (held->find(key) == nullptr) held->append(make(held->name()));
            return held;
        }
        device fresh(name);
        fresh.append(make(fresh.name()));
        return &base::append(std::move(fresh));
    }

    // Removes one entry, and its device with its last entry.
    void remove_entry(device *owner, const Entry *entry) noexcept {
        owner->erase(entry);
        if (owner->entries().empty()) base::remove(owner);
    }

private:
    using base = named_list<device_entries<Entry>, &device_entries<Entry>::name>;
};

} // namespace kx
