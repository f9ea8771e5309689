// dump_link_info: runs the link dump (or the request for the one link asked
// for) and, when asked, the address dumps to completion, then describes
// every link received.  A failed dump describes nothing,
// so the caller sees a host or container without links.
#include "netinfo/link_dump.h"

#include "frame/frame.h"
#include "rtnl/rtnl.h"
#include "sys/memory_short.h"
#include "sys/stream.h"

#include <cerrno>
#include <cstdio>
#include <new>

namespace kx {

namespace {

// One dump into `queue`, asked for by `send`; false after printing why it
// failed.  A dump the kernel marks interrupted (the links or addresses
// changed while it ran) is repeated: taken for a failure, it would show a
// host without links because an address came up meanwhile.
template <class Send>
bool dump_into(rtchan &channel, Send &&send, rtchan_filter keep, reply_queue &queue) {
    for (;;) {
        if (send() < 0) {
            perror("Cannot send dump request");
            return false;
        }
        const int result = rtchan_dump_receive(channel, keep, &queue, nullptr, nullptr);
        if (result == -EINTR) {
            queue.clear();
            continue;
        }
        if (result < 0) {
            fputs("Dump terminated\n", stderr);
            return false;
        }
        return true;
    }
}

// No extension bits: for any nonzero mask the kernel first walks every
// device to size its replies, which on a large host costs more than the
// IPv6 statistics RTEXT_FILTER_SKIP_STATS would spare (about 2 ms of a
// 4,100-link dump); the statistics are dropped as the replies are queued.
bool dump_links(rtchan &channel, reply_queue &links) {
    constexpr uint32_t no_extensions = 0;
    return dump_into(
        channel, [&] { return rtchan_link_dump_request(channel, no_extensions); }, queue_link_reply, links);
}

// Link `name` alone into `links`: true when the kernel answered, with the
// link or without (no such link; a name that is only another link's
// alternative name is no link either).  False when the request failed
// otherwise: then `links` is empty and the whole dump serves instead.
bool get_one_link(rtchan &channel, const char *name, reply_queue &links) {
    const int result = rtchan_get_link(channel, name, queue_link_reply, &links);
    if (result == 0 || result == -ENODEV) {
        if (links.messages().size() != 1 || !link_msg_named(links.messages().front(), name)) links.clear();
        return true;
    }
    links.clear();
    return false;
}

// The addresses of one family: of link `only` (an index; 0 for every link)
// where the kernel filters by link, else the whole dump.
bool dump_addrs(rtchan &channel, int family, int only, bool filtered, reply_queue &queue) {
    auto send = [&] {
        return filtered ? rtchan_addr_dump_request(channel, family, only)
                        : rtchan_dump_request(channel, family, RTM_GETADDR);
    };
    return dump_into(channel, send, queue_reply, queue);
}

int link_index(const reply_queue &links) {
    if (links.messages().empty()) return 0;
    return static_cast<const ifinfomsg *>(NLMSG_DATA(links.messages().front()))->ifi_index;
}

// 0 when the dump has run (whatever it gave), else a negative errno.
int run_dump(const link_dump_args &args) {
    unique_file stream;
    if (args.ctid != 0) {
        stream.reset(fdopen(args.fd, "w"));
        if (!stream) return errno != 0 ? -errno : -EBADF;
    }
    rtchan channel;
    if (rtchan_open(channel, 0) != 0) return -EIO;
    rtchan_scope close_channel(channel);

    reply_queue links, ipv4, ipv6;
    const bool narrow = args.ctid == 0 && args.only_name != nullptr && get_one_link(channel, args.only_name, links);
    if (!narrow && !dump_links(channel, links)) return 0;
    // Without the one link asked for there are no addresses to ask for.
    const uint32_t flags = narrow && links.messages().empty() ? 0 : args.flags;
    const int only = narrow ? link_index(links) : 0;
    const bool filtered = narrow && flags != 0 && rtchan_strict_check(channel);
    if ((flags & KXNET_INFO_IPV4) != 0 && !dump_addrs(channel, AF_INET, only, filtered, ipv4)) return 0;
    if ((flags & KXNET_INFO_IPV6) != 0 && !dump_addrs(channel, AF_INET6, only, filtered, ipv6)) return 0;

    const link_report_sink &sink = args.sink != nullptr ? *args.sink : store_link_sink();
    if (args.ctid == 0 && args.facts != nullptr) {
        for (const nlmsghdr *link : links.messages()) args.facts->note(link);
        args.facts->whole = !narrow;
        args.facts->finish();
    }
    const addr_index index = index_addrs(ipv4, ipv6);
    const addr_queues queues{ipv4, ipv6, &index};
    for (const nlmsghdr *link : links.messages()) handle_link_msg(link, queues, stream.get(), sink);
    return 0;
}

} // namespace

static_assert(KXNET_INFO_IPV4 == 0x80 && KXNET_INFO_IPV6 == 0x8000);
static_assert(AF_INET == 2 && AF_INET6 == 10);

int dump_link_info(void *args) {
    // Inside a container this is the child's exit status, not an errno.
    constexpr int dump_not_started = 1;
    return guarded(dump_not_started, [&] {
        try {
            return run_dump(*static_cast<const link_dump_args *>(args)) < 0 ? dump_not_started : 0;
        } catch (const std::bad_alloc &) {
            // The host's dump runs in the query's process: its snapshot is short.
            note_memory_short();
            return dump_not_started;
        }
    });
}

} // namespace kx
