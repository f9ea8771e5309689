// A directory listing: the names of a directory's entries, read once and
// held as strings, in the order scandir's alphasort gives or, for a caller
// that keeps few of them and sorts only those, in the directory's own order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kx {

class dir_listing {
public:
    enum class order { alphasort, as_read };
    // Lists `path` in alphasort order (or as the directory yields it);
    // failed() tells a listing that could not be made (then errno tells why,
    // and the listing is empty).
    explicit dir_listing(const char *path, order in = order::alphasort);

    bool failed() const { return failed_; }
    int size() const { return static_cast<int>(names_.size()); }
    const char *name(int i) const { return names_[static_cast<std::size_t>(i)].c_str(); }

private:
    std::vector<std::string> names_;
    bool failed_ = false;
};

// Whether `a` sorts before `b` as alphasort orders them (strcoll).
bool alphasort_before(const std::string &a, const std::string &b);

// "." and "..", which every listing holds.
bool is_dot_entry(std::string_view name);

} // namespace kx
