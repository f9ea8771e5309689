// Whether the host is stopped: host stop leaves a mark in /run (gone at the
// next boot) before it takes anything down, host start clears it once the
// devices are back, so a watcher can tell bridges removed on purpose from
// drift.  No mark: running, as on a host never started.
#pragma once

namespace kx {

bool host_stopped();
// Each logs its failure; a sandbox root without a run directory has no mark.
void mark_host_stopped();
void clear_host_stopped();

} // namespace kx
