// Release of a scandir listing.
#include "frame/dir_listing.h"

#include <cstdlib>

namespace kx {

dir_listing::~dir_listing() {
    for (int i = 0; i < count_; ++i) std::free(entries_[i]);
    std::free(entries_);
}

bool is_dot_entry(std::string_view name) { return name == "." || name == ".."; }

} // namespace kx
