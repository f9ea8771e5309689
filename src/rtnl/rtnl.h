// The rtnetlink channel: a handle over a routing netlink socket, a dump
// request whose replies are handed one by one to a callback, a single
// request-and-acknowledge exchange, and helpers that append attributes to a
// request or index the attributes of a reply.  Nothing here allocates; every
// buffer lives on the stack of the caller or of the receive loop.  Every
// call answers 0 (or a length where it says so) or a negative errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

namespace kx {

// One channel: opened, used and closed within one library call.
struct rtchan {
    int fd = -1;
    sockaddr_nl local{};
    uint32_t seq = 0;  // last sequence number used
    uint32_t dump = 0; // sequence number of the latest dump request
};

// Both receive paths read datagrams into a buffer of this size.
inline constexpr std::size_t rtchan_buffer_size = 16384;
inline constexpr int rtchan_sndbuf = 32768;
inline constexpr int rtchan_rcvbuf = 32768;

// A reply callback: (sender, message, argument): 0, or a negative errno that
// stops the receive and becomes its result.
using rtchan_filter = int (*)(const sockaddr_nl *sender, nlmsghdr *message, void *arg);

// The address of netlink port `port` (0: the kernel) with `groups`.
inline sockaddr_nl netlink_address(uint32_t port = 0, uint32_t groups = 0) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = port;
    address.nl_groups = groups;
    return address;
}

// A message header for one buffer sent to or received from `peer`.
inline msghdr one_buffer_message(sockaddr_nl &peer, iovec &buffer) {
    msghdr header{};
    header.msg_name = &peer;
    header.msg_namelen = sizeof peer;
    header.msg_iov = &buffer;
    header.msg_iovlen = 1;
    return header;
}

// 0 or a negative errno.  The socket is close-on-exec; a failed open leaves
// nothing open.
int rtchan_open(rtchan &handle, uint32_t groups);
int rtchan_open_proto(rtchan &handle, uint32_t groups, int protocol);
void rtchan_close(rtchan &handle);

// The header of a request whose body is `body_length` bytes, numbered with
// the channel's next sequence number.
nlmsghdr rtchan_request_header(rtchan &handle, uint16_t type, uint16_t flags, std::size_t body_length);
// Sends a request of `request.nlmsg_len` bytes to the kernel: 0 or the
// send's negative errno.
int rtchan_send(const rtchan &handle, const nlmsghdr &request);

// Sends a dump request for one message type and address family: 0 or the
// send's negative errno.
int rtchan_dump_request(rtchan &handle, int family, int type);

// Receives the replies of the latest dump: 0 at its end, -EINTR when the
// kernel flagged it interrupted (repeat it), the kernel's negative errno,
// -EPROTO for a malformed datagram, another negative errno when receiving
// failed, or a callback's negative result.  `junk` (may be null) receives
// replies of other requests.
int rtchan_dump_receive(rtchan &handle, rtchan_filter filter, void *filter_arg, rtchan_filter junk,
                        void *junk_arg);

// Sends `request` to (peer, groups) and waits for its answer.  With `answer`
// the reply is copied there (at most `answer_size` bytes, else -EMSGSIZE);
// without, an acknowledgement is asked for.  0, a negative errno as for
// rtchan_dump_receive, or the negative result of `junk`.
int rtchan_transact(rtchan &handle, nlmsghdr *request, uint32_t peer, uint32_t groups,
                    nlmsghdr *answer, rtchan_filter junk, void *junk_arg,
                    std::size_t answer_size = rtchan_buffer_size);

// Turns on the kernel's strict checking of requests on the channel, which
// lets a dump request carry a filter; false where the kernel lacks it.
bool rtchan_strict_check(rtchan &handle);

// Asks for link `name` alone and hands its message to `filter`.  0 when the
// kernel has answered, the kernel's negative errno (-ENODEV: no such link)
// when it refused, another negative errno on a failure of the channel, or
// the filter's negative result.  Nothing is printed: a missing link is an
// answer.
int rtchan_get_link(rtchan &handle, const char *name, rtchan_filter filter, void *arg);

// Sends a link dump request that carries the extension mask `ext_mask`
// (RTEXT_FILTER_* bits; for any nonzero mask the kernel sizes its replies
// by a walk over every device first).  Received with rtchan_dump_receive;
// 0 or the send's negative errno.
int rtchan_link_dump_request(rtchan &handle, uint32_t ext_mask);

// Sends an address dump request for one family that names link `ifindex`;
// with strict checking on the kernel lists only that link's addresses, else
// every address.  Received with rtchan_dump_receive; 0 or the send's
// negative errno.
int rtchan_addr_dump_request(rtchan &handle, int family, int ifindex);

// Appends one attribute to a zero-padded request; -EMSGSIZE (request
// unchanged) when it would pass `maxlen` bytes.
int addattr_l(nlmsghdr *message, int maxlen, int type, const void *data, int length);

// Netlink pads messages and attributes to 4 bytes.
inline constexpr std::size_t align4(std::size_t length) { return (length + 3U) & ~std::size_t{3}; }

// Where a walk over a run of attributes stopped: the `remaining` bytes at
// `at` form no whole attribute (0: the run ended cleanly).
struct rtattr_walk_end {
    const unsigned char *at = nullptr;
    std::size_t remaining = 0;
};

// Hands each whole attribute of a run of `length` bytes to `use`, in order.
// The last attribute's padding may be missing: it ends the run.  The one
// walk over attributes; a caller that reports a malformed run reads the end.
template <class Use>
rtattr_walk_end rtattr_walk(const void *first, std::size_t length, Use &&use) {
    const auto *at = static_cast<const unsigned char *>(first);
    while (length >= sizeof(rtattr)) {
        const auto *attr = reinterpret_cast<const rtattr *>(at);
        if (attr->rta_len < sizeof(rtattr) || attr->rta_len > length) break;
        use(attr);
        const std::size_t step = align4(attr->rta_len);
        if (step >= length) return {at + length, 0};
        at += step;
        length -= step;
    }
    return {at, length};
}

// The attributes after a message's fixed header of `header` bytes.
inline const rtattr *first_rtattr(const nlmsghdr *message, std::size_t header) {
    return reinterpret_cast<const rtattr *>(reinterpret_cast<const unsigned char *>(message) +
                                            NLMSG_LENGTH(align4(header)));
}
inline std::size_t rtattr_run_length(const nlmsghdr *message, std::size_t header) {
    const std::size_t start = NLMSG_LENGTH(align4(header));
    return message->nlmsg_len > start ? message->nlmsg_len - start : 0;
}

// Indexes a run of attributes by type into table[0..max]; the later of two
// attributes of one type wins.  A malformed run is reported in the log.
void rtattr_table_by_type(const rtattr **table, int max, const rtattr *first, std::size_t length);

// The walks over one received datagram, kept apart from the socket so that
// crafted datagrams can exercise them.  Empty when the next datagram should
// be received, otherwise the call's final result (0 or a negative errno).
using rtchan_walk_result = std::optional<int>;

// One received datagram as the walks read it.  `data` holds `length` bytes.
struct rtchan_datagram {
    sockaddr_nl sender{};
    socklen_t sender_length = sizeof(sockaddr_nl);
    char *data = nullptr;
    std::size_t length = 0;
    int msg_flags = 0;
};

// What a dump's walks hand the messages to.  `interrupted` carries the
// kernel's interrupted mark across the datagrams of one receive call.
struct rtchan_dump_walk_state {
    rtchan_filter filter = nullptr;
    void *filter_arg = nullptr;
    rtchan_filter junk = nullptr; // replies of other requests; may be null
    void *junk_arg = nullptr;
    bool interrupted = false;
};

// The request a transact walk waits for and where its answer goes.
struct rtchan_transact_walk_args {
    uint32_t peer = 0; // the answering port
    uint32_t seq = 0;  // the request's sequence number
    nlmsghdr *answer = nullptr; // null: an acknowledgement is awaited
    std::size_t answer_size = 0;
    rtchan_filter junk = nullptr;
    void *junk_arg = nullptr;
};

// One datagram of a dump.
rtchan_walk_result rtchan_dump_walk(const rtchan &handle, const rtchan_datagram &datagram,
                                    rtchan_dump_walk_state &state);

// One datagram received while waiting for the answer to request `args.seq`.
rtchan_walk_result rtchan_transact_walk(const rtchan &handle, const rtchan_datagram &datagram,
                                        const rtchan_transact_walk_args &args);

// The request that adds one IPv4 address to a link (RTM_NEWADDR, no create,
// exclusive or replace flags): built in a zeroed buffer of this bound.
inline constexpr int newaddr_request_bound = 280;
struct newaddr_request {
    alignas(nlmsghdr) unsigned char bytes[newaddr_request_bound] = {};
    nlmsghdr *header() { return reinterpret_cast<nlmsghdr *>(bytes); }
};

// Fills `request` (40 bytes: header, ifaddrmsg, IFA_LOCAL, IFA_ADDRESS) for
// `address` with `prefix_length` on the link `ifindex`.  0, or -EMSGSIZE
// when an attribute does not fit the bound.
int newaddr_request_build(newaddr_request &request, int ifindex, in_addr address, int prefix_length);

// Opens a channel, sends that request and waits for the kernel's
// acknowledgement; a refusal is printed as "RTNETLINK answers" with the
// system's text.  0 or a negative errno (also when no channel can be
// opened).
int rtchan_add_ipv4_address(int ifindex, in_addr address, int prefix_length);

// Closes the channel when the scope ends (use after a successful open).
class rtchan_scope {
public:
    explicit rtchan_scope(rtchan &handle) : handle_(handle) {}
    rtchan_scope(const rtchan_scope &) = delete;
    rtchan_scope &operator=(const rtchan_scope &) = delete;
    ~rtchan_scope() { rtchan_close(handle_); }

private:
    rtchan &handle_;
};

} // namespace kx
