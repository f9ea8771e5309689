// The mends of check --repair, each through the library's exported calls
// (which take the host lock as each of them does), the registry being the
// truth; a missing ifcfg file is written by the library's internal writer
// and orphans, which no export removes, are pruned by kxnetctl itself.
#pragma once

#include "findings.h"

#include <string>
#include <vector>

namespace kxnetctl {

// What the mend of `f` runs, in words, for --dry-run.
std::string mend_words(const finding &f);

// One host start, for the findings mend::restore brings back; false, with
// `why` saying what the library refused, when it failed.
bool restore_host(std::string &why);
// The mend of one attach, address or rewrite finding, as restore_host.
bool mend_finding(const finding &f, std::string &why);

// Applies the mends of `found`: one host start for everything it brings
// back, then, on a fresh look, container host ends, addresses and missing
// ifcfg files; orphans only when `prune`.  Calls the library refused
// are told on standard error; the caller looks again for what is left.
void apply_mends(const std::vector<finding> &found, bool prune);

} // namespace kxnetctl
