// Release of a scandir listing.
#include "frame/dir_listing.h"

#include "frame/memory_short.h"

#include <cerrno>
#include <cstdlib>

namespace kx {

dir_listing::dir_listing(const char *path) : count_(scandir(path, &entries_, nullptr, alphasort)) {
    if (count_ < 0) note_if_memory_short(errno);
}

dir_listing::~dir_listing() {
    for (int i = 0; i < count_; ++i) std::free(entries_[i]);
    std::free(entries_);
}

bool is_dot_entry(std::string_view name) { return name == "." || name == ".."; }

} // namespace kx
