// The container information collector: one collection pass over the
// interfaces of one container (or of the host, container id 0), reported to
// the information store under that container's id.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kx {

// Opens a pass (scope of `ctid`, next generation), describes the container's
// links and ends with a sweep.  Inside a container the link dump runs in a
// child started there and its lines come back through a pipe; for 0 it runs
// in this process.  `flags` are the query flags.  A container that cannot be
// entered (not running, no configuration) reports nothing and is not swept.
void collect_ct_info(uint32_t flags, int32_t ctid);

// Reads the dump's four lines per link (name, addresses, hardware address,
// flags) from `in` to its end and reports each link under `ctid`.
void report_container_links(int32_t ctid, std::FILE *in);

} // namespace kx
