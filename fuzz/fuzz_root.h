// The scratch root every fuzz target works in: a fresh directory set as
// KXNET_ROOT once per process, with helpers to lay files under it.  No
// log directory is made, so the library's log stays off and cannot grow
// over millions of runs.
#pragma once

#include <string>
#include <string_view>

namespace kxfuzz {

// The root's path (made on first use).
const std::string &root();
// `documented` under the root, e.g. at("/proc/kx/veth").
std::string at(std::string_view documented);
// Writes `content` to the rooted path, making its directories.
void put(std::string_view documented, std::string_view content);
// Removes the rooted directory with everything in it and makes it again.
void empty_dir(std::string_view documented);

} // namespace kxfuzz
