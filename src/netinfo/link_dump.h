// The link and address dump: asks the kernel for every link and, on request,
// every IPv4 and IPv6 address, and describes each link but loopback.  On the
// host (container id 0) the descriptions go to the information store; inside
// a container they are written as four lines per link to a pipe, which the
// collector in the library's process reads back with read_link_lines.  A
// host dump may name one link: then that link alone is asked for, and only
// its addresses where the kernel can filter them.
#pragma once

#include "kxnet_ct.h"
#include "netinfo/link_facts.h"
#include "netinfo/link_report.h"
#include "netinfo/reply_queue.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kx {

// Where host descriptions are reported; the default is the store.  Tests
// pass their own to capture the updates.
struct link_report_sink {
    void (*report)(const link_view &link);
};
const link_report_sink &store_link_sink();

struct link_dump_args {
    int32_t fd;     // write end of the pipe to the collector; -1 when unused
    uint32_t ctid;  // 0: report to the store; else write lines to fd
    uint32_t flags; // query flags: KXNET_INFO_IPV4, KXNET_INFO_IPV6
    const link_report_sink *sink = nullptr; // host reports; null: the store
    link_facts *facts = nullptr;            // host: receives each link's kind facts
    const char *only_name = nullptr;        // host: describe this link alone
};

// Whether link message `message` describes the link named `name` (the name
// a record of it would carry).
bool link_msg_named(const nlmsghdr *message, const char *name);

// Runs the dump with `args` (a link_dump_args *), in the form the container
// exec call takes.  With a nonzero ctid the stream it opens on args->fd owns
// and closes that descriptor.  0 when it has run, 1 when the stream or the
// channel cannot be opened.
int dump_link_info(void *args);

// The address messages of both queues by interface index, each list in the
// order the walk of the queues meets them; built once per dump so a link
// finds its addresses without walking every address of the host.
struct addr_index {
    std::vector<std::pair<int, const nlmsghdr *>> by_link; // stable by index
};
addr_index index_addrs(const reply_queue &ipv4, const reply_queue &ipv6);

struct addr_queues {
    const reply_queue &ipv4;
    const reply_queue &ipv6;
    const addr_index *index = nullptr; // null: walk the queues per link
};

// Describes one link message: four lines on `stream`, or with no stream
// updates through `sink`.  Messages that are not a non-loopback link with a
// name are ignored.
void handle_link_msg(const nlmsghdr *message, const addr_queues &queues, FILE *stream,
                     const link_report_sink &sink);

// Formats one address message ("10.0.0.5/24", or the bare local address of a
// point-to-point peer) onto `stream` and/or onto `text` (kept within
// link_addrs_max characters); either may be null.
void format_addr_msg(const nlmsghdr *message, FILE *stream, std::string *text);

inline constexpr std::size_t link_addrs_max = 1023;
inline constexpr std::size_t link_hwaddr_max = 19;

// "00:1a:2b:3c:4d:5e": bytes in lower-case hex joined by ':', cut at 19.
std::string hwaddr_text(const unsigned char *bytes, std::size_t length);
// The same into a buffer, without an allocation of its own.
void hwaddr_text(const unsigned char *bytes, std::size_t length, char (&out)[link_hwaddr_max + 1]);

// One link as the container side wrote it.
struct link_lines {
    std::string name;
    std::string addrs;  // addresses separated by spaces, may be empty
    std::string hwaddr; // empty without a usable hardware address
    uint32_t flags = 0; // IFF_* bits
};

// Reads the next group of four lines; false at the first line that cannot be
// read, so a partial last group is dropped.  A line is cut at 1023
// characters and the rest of it skipped, keeping the groups in step.
bool read_link_lines(FILE *in, link_lines &out);

} // namespace kx
