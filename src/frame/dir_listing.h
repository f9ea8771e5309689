// A sorted directory listing: the names of a directory's entries, read
// once and held as strings, in the order scandir's alphasort gives.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kx {

class dir_listing {
public:
    // Lists `path` in alphasort order; failed() tells a listing that could
    // not be made (then errno tells why, and the listing is empty).
    explicit dir_listing(const char *path);

    bool failed() const { return failed_; }
    int size() const { return static_cast<int>(names_.size()); }
    const char *name(int i) const { return names_[static_cast<std::size_t>(i)].c_str(); }

private:
    std::vector<std::string> names_;
    bool failed_ = false;
};

// "." and "..", which every listing holds.
bool is_dot_entry(std::string_view name);

} // namespace kx
