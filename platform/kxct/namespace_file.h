// A container's network namespace, held by a bind mount on its namespace
// file (layout.h), so it lives without a process in it.
#pragma once

#include <cstdint>

namespace kxct {

// Creates a fresh network namespace on the container's namespace file; 0 or
// an errno.
int create_namespace(uint32_t ctid);
// Unmounts and removes the namespace file; 0 or an errno.
int remove_namespace(uint32_t ctid);

} // namespace kxct
