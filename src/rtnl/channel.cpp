// The rtnetlink channel's socket side: opening and binding the socket,
// sending dump requests and prepared requests, and the receive loops that
// hand each datagram to the walks of walk.cpp.
#include "rtnl/rtnl.h"

#include "frame/log.h"
#include "sys/error.h"
#include "sys/fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/uio.h>

namespace kx {

static_assert(RTM_GETLINK == 18 && RTM_GETADDR == 22);

namespace {

// One datagram with its sender into `datagram` (its data already points to
// the buffer); EINTR and EAGAIN are retried.  The length received (a
// truncated datagram reports its full length), or a negative errno after
// printing the failure (-EPIPE at the end of the stream).
ssize_t receive_datagram(int fd, rtchan_datagram &datagram) {
    for (;;) {
        iovec io{datagram.data, rtchan_buffer_size};
        msghdr header = one_buffer_message(datagram.sender, io);
        ssize_t length = recvmsg(fd, &header, 0);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            const int error = failed_errno();
            fprintf(stderr, "netlink receive error %s (%d)\n", strerror(errno), errno);
            return error;
        }
        if (length == 0) {
            kxnet_log("EOF on netlink");
            return -EPIPE;
        }
        datagram.sender_length = header.msg_namelen;
        datagram.msg_flags = header.msg_flags;
        return length;
    }
}

// Reports a failed socket call as perror does: a negative errno.
int report_failure(const char *what) {
    const int error = failed_errno();
    perror(what);
    return error;
}

} // namespace

int rtchan_open(rtchan &handle, uint32_t groups) {
    return rtchan_open_proto(handle, groups, NETLINK_ROUTE);
}

int rtchan_open_proto(rtchan &handle, uint32_t groups, int protocol) {
    handle.fd = -1;
    handle.local = sockaddr_nl{};
    unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (!fd) return report_failure("Cannot open netlink socket");
    const int sndbuf = rtchan_sndbuf;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) < 0)
        return report_failure("SO_SNDBUF");
    const int rcvbuf = rtchan_rcvbuf;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) < 0)
        return report_failure("SO_RCVBUF");
    handle.local = netlink_address(0, groups);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&handle.local), sizeof handle.local) < 0)
        return report_failure("Cannot bind netlink socket");
    socklen_t length = sizeof handle.local;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr *>(&handle.local), &length) < 0)
        return report_failure("Cannot getsockname");
    if (length != sizeof handle.local) {
        kxnet_log("Wrong address length %d", static_cast<int>(length));
        return -EPROTO;
    }
    if (handle.local.nl_family != AF_NETLINK) {
        kxnet_log("Wrong address family %d", static_cast<int>(handle.local.nl_family));
        return -EPROTO;
    }
    handle.seq = static_cast<uint32_t>(time(nullptr));
    handle.fd = fd.release();
    return 0;
}

void rtchan_close(rtchan &handle) {
    if (handle.fd >= 0) close_retry(handle.fd);
    handle.fd = -1;
}

nlmsghdr rtchan_request_header(rtchan &handle, uint16_t type, uint16_t flags, std::size_t body_length) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body_length));
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = ++handle.seq;
    return header;
}

int rtchan_send(const rtchan &handle, const nlmsghdr &request) {
    const sockaddr_nl kernel = netlink_address();
    const ssize_t sent = sendto(handle.fd, &request, request.nlmsg_len, 0,
                                reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel);
    return sent < 0 ? failed_errno() : 0;
}

int rtchan_dump_request(rtchan &handle, int family, int type) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
        unsigned char padding[3];
    } request{};
    static_assert(sizeof request == 20, "a dump request is 20 bytes");
    request.header = rtchan_request_header(handle, static_cast<uint16_t>(type), NLM_F_REQUEST | NLM_F_ROOT | NLM_F_MATCH,
                                           sizeof request - sizeof request.header);
    handle.dump = request.header.nlmsg_seq;
    request.body.rtgen_family = static_cast<unsigned char>(family);
    return rtchan_send(handle, request.header);
}

// Receives datagrams into `buffer` and hands each to `walk` until the walk
// answers with a result instead of asking for more.
template <class Walk>
int receive_walking(int fd, char (&buffer)[rtchan_buffer_size], Walk walk) {
    for (;;) {
        rtchan_datagram datagram;
        datagram.data = buffer;
        const ssize_t length = receive_datagram(fd, datagram);
        if (length < 0) return static_cast<int>(length);
        // A truncated datagram reports its full length; only the buffer holds data.
        datagram.length = std::min(static_cast<std::size_t>(length), sizeof buffer);
        if (rtchan_walk_result result = walk(datagram)) return *result;
    }
}

int rtchan_dump_receive(rtchan &handle, rtchan_filter filter, void *filter_arg, rtchan_filter junk,
                        void *junk_arg) {
    rtchan_dump_walk_state state{filter, filter_arg, junk, junk_arg, false};
    alignas(nlmsghdr) char buffer[rtchan_buffer_size];
    return receive_walking(handle.fd, buffer, [&](const rtchan_datagram &datagram) {
        return rtchan_dump_walk(handle, datagram, state);
    });
}

int rtchan_transact(rtchan &handle, nlmsghdr *request, uint32_t peer, uint32_t groups,
                    nlmsghdr *answer, rtchan_filter junk, void *junk_arg, std::size_t answer_size) {
    const uint32_t seq = ++handle.seq;
    request->nlmsg_seq = seq;
    if (answer == nullptr) request->nlmsg_flags |= NLM_F_ACK;

    sockaddr_nl destination = netlink_address(peer, groups);
    iovec io{request, request->nlmsg_len};
    const msghdr header = one_buffer_message(destination, io);
    if (sendmsg(handle.fd, &header, 0) < 0) return report_failure("Cannot talk to rtnetlink");

    const rtchan_transact_walk_args args{peer, seq, answer, answer_size, junk, junk_arg};
    alignas(nlmsghdr) char buffer[rtchan_buffer_size] = {};
    return receive_walking(handle.fd, buffer, [&](const rtchan_datagram &datagram) {
        return rtchan_transact_walk(handle, datagram, args);
    });
}

} // namespace kx
