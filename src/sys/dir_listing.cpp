// Reading a directory into a sorted listing.
#include "sys/dir_listing.h"

#include "sys/memory_short.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <new>

namespace kx {

namespace {

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};

// The entries' names: 0, or a negative errno (as scandir fails).
int read_names(const char *path, dir_listing::order in, std::vector<std::string> &names) {
    std::unique_ptr<DIR, dir_closer> dir(opendir(path));
    if (!dir) return -errno;
    try {
        errno = 0;
        while (const dirent *entry = readdir(dir.get())) names.emplace_back(entry->d_name);
        if (errno != 0) return -errno;
        if (in == dir_listing::order::alphasort) std::sort(names.begin(), names.end(), alphasort_before);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    return 0;
}

} // namespace

// alphasort compares with strcoll.
bool alphasort_before(const std::string &a, const std::string &b) { return std::strcoll(a.c_str(), b.c_str()) < 0; }

dir_listing::dir_listing(const char *path, order in) {
    if (int err = read_names(path, in, names_); err != 0) {
        names_.clear();
        failed_ = true;
        note_if_memory_short(-err);
        errno = -err;
    }
}

bool is_dot_entry(std::string_view name) { return name == "." || name == ".."; }

} // namespace kx
