// Records in insertion order with an index by name: a lookup answers the
// first record of that name, as a search in order would, and keeps doing so
// as records come and go.  Records stay where they are until removed.
#pragma once

#include <algorithm>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace kx {

// `Name` is the record's accessor of the name it is found by.
template <class T, auto Name> class named_list {
public:
    named_list() = default;
    named_list(const named_list &) = delete;
    named_list &operator=(const named_list &) = delete;

    // The first record named `name` exactly.  Callers pass names cut to 15
    // characters, which a std::string holds without allocating.
    T *find(std::string_view name) noexcept {
        auto found = first_.find(std::string(name));
        return found != first_.end() ? found->second : nullptr;
    }

    // Appends `record`; throws when memory is short, the list unchanged.
    T &append(T record) {
        T &added = items_.emplace_back(std::move(record));
        try {
            first_.try_emplace(name_of(added), &added);
        } catch (...) {
            items_.pop_back();
            throw;
        }
        return added;
    }

    void remove(const T *record) noexcept {
        auto at = std::find_if(items_.begin(), items_.end(), [record](const T &held) { return &held == record; });
        if (at == items_.end()) return;
        auto indexed = first_.find(name_of(*at));
        if (indexed != first_.end() && indexed->second == record) {
            auto next = std::find_if(std::next(at), items_.end(),
                                     [&](const T &held) { return name_of(held) == name_of(*at); });
            if (next != items_.end())
                indexed->second = &*next;
            else
                first_.erase(indexed);
        }
        items_.erase(at);
    }

    void clear() noexcept {
        first_.clear();
        items_.clear();
    }

    bool empty() const noexcept { return items_.empty(); }
    auto begin() noexcept { return items_.begin(); }
    auto end() noexcept { return items_.end(); }
    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.end(); }

private:
    static const std::string &name_of(const T &record) noexcept { return (record.*Name)(); }

    std::list<T> items_;
    std::unordered_map<std::string, T *> first_;
};

} // namespace kx
