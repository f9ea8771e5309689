// The container information collector: collection passes over the
// interfaces of containers (and of the host, container id 0), reported to
// the information store under each container's id.
#pragma once

#include "sys/command.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace kx {

struct link_facts;

// How many dump children a query runs at once.
inline constexpr std::size_t collect_window = 16;

// What a container's dump may write; the container is not trusted.  A link
// is four lines: a name of at most 15 characters, addresses cut at 1023, a
// hardware address cut at 19 and the flags in at most 11 digits, each with
// its break, so at most 1072 bytes.  More than 4096 interfaces is beyond any
// container the platform runs.  A dump past either bound is ended and its
// container reports nothing, so a query holds at most about
// collect_window * dump_bytes_max bytes of output whatever the containers
// write.
inline constexpr std::size_t dump_records_max = 4096;
inline constexpr std::size_t dump_record_bytes_max = 16 + 1024 + 20 + 12;
inline constexpr std::size_t dump_bytes_max = dump_records_max * dump_record_bytes_max;
static_assert(dump_bytes_max == command_output_bytes_max, "a container's dump and a command get the same bound");

// The platform kills a dump child after dump_exec_timeout_seconds; one whose
// pipe is still open a margin later (a process it left behind holds the
// write end) is killed and reaped, and its container reports nothing.
inline constexpr int dump_exec_timeout_seconds = 2;
inline constexpr int dump_deadline_seconds = dump_exec_timeout_seconds + 1;

// Opens a pass (scope of `ctid`, next generation), describes the container's
// links and ends with a sweep.  Inside a container the link dump runs in a
// child started there and its lines come back through a pipe; for 0 it runs
// in this process.  `flags` are the query flags.  A container that cannot be
// entered (not running, no configuration) reports nothing and is not swept.
void collect_ct_info(uint32_t flags, int32_t ctid);

// collect_ct_info for each of `ids` in order, with the dump children of up to
// `window` containers started ahead and their pipes drained as they write,
// so the passes cost about the slowest child instead of the sum of all.  The
// store sees exactly the updates, in exactly the order, of one
// collect_ct_info after another.  `host_facts`, when given, receives what the
// host's own dump (id 0) showed about each link.
void collect_ct_infos(uint32_t flags, std::span<const int32_t> ids, link_facts *host_facts,
                      std::size_t window = collect_window);

// Reads the dump's four lines per link (name, addresses, hardware address,
// flags) from `in` to its end and reports each link under `ctid`.
void report_container_links(int32_t ctid, std::FILE *in);

} // namespace kx
