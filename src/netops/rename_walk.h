// Renaming a network in every container's configuration.
#pragma once

namespace kx {

// Rebinds every configured container interface (running or stopped) from
// `current_id` to `new_id`, saving only configurations that changed.  0;
// -EIO when the container listing or a save fails (the remaining containers
// are not visited); -ENOMEM when memory runs short.
int rename_walk(const char *current_id, const char *new_id);

} // namespace kx
