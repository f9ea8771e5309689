// Renaming a network in every container's configuration.
#pragma once

namespace kx {

// Rebinds every configured container interface (running or stopped) from
// `current_id` to `new_id`, saving only configurations that changed.  0, the
// negative answer of the container listing, a nonzero answer of a failed
// save (the remaining containers are not visited), or ENOMEM.
int rename_walk(const char *current_id, const char *new_id);

} // namespace kx
