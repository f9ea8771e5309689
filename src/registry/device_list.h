// A registry list of devices, each with its entries (the VLANs over a device,
// the addresses configured on one): insertion order kept, no two devices of
// one name, no two entries of one key under a device.  Both lists find or
// create through `device_list::add`; searches go through indexes the list
// keeps in step with every change, so loading a large registry stays linear.
#pragma once

#include <cstddef>
#include <list>
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

template <class Entry> class device_list {
public:
    using device = device_entries<Entry>;

    device *find(std::string_view name) noexcept {
        auto found = by_name_.find(std::string(field_name(name)));
        return found != by_name_.end() ? found->second : nullptr;
    }

    // The device (found, or made and listed) holding an entry of `key`;
    // `make(device_name)` builds the entry when it is new.  Throws when memory
    // is short, leaving the list as it was.
    template <class Make> device *add(std::string_view name, const typename device::key_type &key, Make &&make) {
        if (device *held = find(name)) {
            if (held->find(key) == nullptr) held->append(make(held->name()));
            return held;
        }
        device fresh(name);
        fresh.append(make(fresh.name()));
        device &listed = devices_.emplace_back(std::move(fresh));
        try {
            by_name_.emplace(listed.name(), &listed);
        } catch (...) {
            devices_.pop_back();
            throw;
        }
        return &listed;
    }

    // Removes one entry, and its device with its last entry.
    void remove_entry(device *owner, const Entry *entry) noexcept {
        owner->erase(entry);
        if (owner->entries().empty()) remove(owner);
    }

    void remove(device *owner) noexcept {
        by_name_.erase(owner->name());
        for (auto at = devices_.begin(); at != devices_.end(); ++at)
            if (&*at == owner) {
                devices_.erase(at);
                return;
            }
    }

    void clear() noexcept {
        by_name_.clear();
        devices_.clear();
    }

    bool empty() const noexcept { return devices_.empty(); }
    auto begin() noexcept { return devices_.begin(); }
    auto end() noexcept { return devices_.end(); }
    auto begin() const noexcept { return devices_.begin(); }
    auto end() const noexcept { return devices_.end(); }

private:
    std::list<device> devices_;
    std::unordered_map<std::string, device *> by_name_;
};

} // namespace kx
