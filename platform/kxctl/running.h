// Whether a container runs: its namespace file holds a live network namespace.
#pragma once

#include "owned_fd.h"

#include <cstdint>

namespace kxctl {

// The container's namespace opened read-only (close-on-exec), or an empty
// descriptor when it does not run (errno tells why).
owned_fd open_netns(uint32_t ctid);
bool is_running(uint32_t ctid);

} // namespace kxctl
