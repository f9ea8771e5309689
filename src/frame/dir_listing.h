// A sorted directory listing owned whole: scandir's entries and array are
// freed when the listing goes out of scope, on every path.
#pragma once

#include <dirent.h>
#include <string_view>

namespace kx {

class dir_listing {
public:
    // Lists `path` in alphasort order; failed() tells a listing that could
    // not be made, with errno set by scandir.
    explicit dir_listing(const char *path);
    dir_listing(const dir_listing &) = delete;
    dir_listing &operator=(const dir_listing &) = delete;
    ~dir_listing();

    bool failed() const { return count_ < 0; }
    int size() const { return count_ < 0 ? 0 : count_; }
    const char *name(int i) const { return entries_[i]->d_name; }

private:
    struct dirent **entries_ = nullptr;
    int count_;
};

// "." and "..", which every listing holds.
bool is_dot_entry(std::string_view name);

} // namespace kx
