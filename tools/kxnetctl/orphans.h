// Orphans: what the library made that the registry no longer names, as a
// call killed between its kernel step and its registry save leaves it.  Only
// a file whose every byte is what the library writes counts as ours: a
// bridge carrying our bridge file, a VLAN device carrying our VLAN file, or
// such a file alone.  A device that nothing of ours marks is never an orphan.
// Only a device the library marked when it made it (frame/device_mark.h) is
// pruned.  An unmarked bridge carrying our file (adopted, or made before the
// mark) is reported with no mend; an unmarked VLAN (never adopted: made
// before the mark) loses our file and keeps the device.
#pragma once

#include "findings.h"

#include <vector>

namespace kxnetctl {

std::vector<finding> find_orphans();

// Removes `orphan` (its device, then its file) under the host lock, after
// looking again that it still is one.  true when it is gone.
bool prune_orphan(const finding &orphan);

} // namespace kxnetctl
