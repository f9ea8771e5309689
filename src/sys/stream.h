// The one owning stdio stream of the library: whatever opens a FILE hands it
// to a unique_file, so every early return closes it.
#pragma once

#include <cstdio>
#include <memory>

namespace kx {

struct stream_closer {
    void operator()(std::FILE *stream) const noexcept { std::fclose(stream); }
};
using unique_file = std::unique_ptr<std::FILE, stream_closer>;

} // namespace kx
