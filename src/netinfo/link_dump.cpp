// dump_link_info: runs the link dump and, when asked, the address dumps to
// completion, then describes every link.  A failed dump describes nothing,
// so the caller sees a host or container without links.
#include "netinfo/link_dump.h"

#include "frame/frame.h"
#include "frame/memory_short.h"
#include "frame/stream.h"
#include "rtnl/rtnl.h"

#include <cstdio>
#include <new>

namespace kx {

namespace {

// One dump into `queue`; false after printing why it failed.  An
// interrupted dump is repeated when `repeat_interrupted`, else it fails.
bool dump_into(rtchan &channel, int family, int type, reply_queue &queue, bool repeat_interrupted) {
    const rtchan_filter keep = type == RTM_GETLINK ? queue_link_reply : queue_reply;
    for (;;) {
        if (rtchan_dump_request(channel, family, type) < 0) {
            perror("Cannot send dump request");
            return false;
        }
        const int result = rtchan_dump_receive(channel, keep, &queue, nullptr, nullptr);
        if (result == -2 && repeat_interrupted) {
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

int run_dump(const link_dump_args &args) {
    unique_file stream;
    if (args.ctid != 0) {
        stream.reset(fdopen(args.fd, "w"));
        if (!stream) return 1;
    }
    rtchan channel;
    if (rtchan_open(channel, 0) != 0) return 1;
    rtchan_scope close_channel(channel);

    reply_queue links, ipv4, ipv6;
    if (!dump_into(channel, AF_UNSPEC, RTM_GETLINK, links, true)) return 0;
    if ((args.flags & KXNET_INFO_IPV4) != 0 &&
        !dump_into(channel, AF_INET, RTM_GETADDR, ipv4, false))
        return 0;
    if ((args.flags & KXNET_INFO_IPV6) != 0 &&
        !dump_into(channel, AF_INET6, RTM_GETADDR, ipv6, false))
        return 0;

    const link_report_sink &sink = args.sink != nullptr ? *args.sink : store_link_sink();
    if (args.ctid == 0 && args.facts != nullptr) {
        for (const nlmsghdr *link : links.messages()) args.facts->note(link);
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
    return guarded(1, [&] {
        try {
            return run_dump(*static_cast<const link_dump_args *>(args));
        } catch (const std::bad_alloc &) {
            // The host's dump runs in the query's process: its snapshot is short.
            note_memory_short();
            return 1;
        }
    });
}

} // namespace kx
