// The mend of a missing ifcfg file: the file of a registered network's
// bridge or a registered VLAN written again, as the library writes it, by
// the library's own writer under the host lock.  The device, its ports,
// addresses and index stay as they are; nothing else on the host changes.
#pragma once

#include "findings.h"

#include <string>

namespace kxnetctl {

// Writes the ifcfg file `f` (an "ifcfg-missing" finding) found missing,
// after looking again under the lock that it is still missing and still
// registered.  false, with `why` saying it, when it was not written; the
// host is then as it was.
bool write_missing_file(const finding &f, std::string &why);

} // namespace kxnetctl
