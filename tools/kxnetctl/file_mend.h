// The mend of a missing ifcfg file: the file of a registered network's
// bridge or a registered VLAN written again, as the library writes it, by
// the library's own writer under the host lock.  The device, its ports,
// addresses and index stay as they are; nothing else on the host changes.
#pragma once

#include "findings.h"

namespace kxnetctl {

// Writes the ifcfg file `f` (an "ifcfg-missing" finding) found missing,
// after looking again under the lock that it is still missing and still
// registered.  false, with one line on standard error, when it was not
// written; the host is then as it was.
bool write_missing_file(const finding &f);

} // namespace kxnetctl
