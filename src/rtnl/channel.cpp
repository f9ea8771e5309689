// The rtnetlink channel's socket side: opening and binding the socket,
// sending dump requests and prepared requests, and the receive loops that
// hand each datagram to the walks of walk.cpp.
#include "rtnl/rtnl.h"

#include "frame/fd.h"
#include "frame/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/uio.h>

namespace kx {

static_assert(RTM_GETLINK == 18 && RTM_GETADDR == 22);

namespace {

sockaddr_nl netlink_address(uint32_t port, uint32_t groups) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = port;
    address.nl_groups = groups;
    return address;
}

// One datagram with its sender; EINTR and EAGAIN are retried.  The length,
// or -1 after printing the failure.
ssize_t receive_datagram(int fd, char *buffer, sockaddr_nl &sender, socklen_t &sender_length,
                         int &msg_flags) {
    for (;;) {
        iovec io{buffer, rtchan_buffer_size};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        ssize_t length = recvmsg(fd, &header, 0);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fprintf(stderr, "netlink receive error %s (%d)\n", strerror(errno), errno);
            return -1;
        }
        if (length == 0) {
            kxnet_log("EOF on netlink");
            return -1;
        }
        sender_length = header.msg_namelen;
        msg_flags = header.msg_flags;
        return length;
    }
}

} // namespace

int rtchan_open(rtchan &handle, uint32_t groups) {
    return rtchan_open_proto(handle, groups, NETLINK_ROUTE);
}

int rtchan_open_proto(rtchan &handle, uint32_t groups, int protocol) {
    handle.fd = -1;
    handle.local = sockaddr_nl{};
    unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (!fd) {
        perror("Cannot open netlink socket");
        return -1;
    }
    const int sndbuf = rtchan_sndbuf;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) < 0) {
        perror("SO_SNDBUF");
        return -1;
    }
    const int rcvbuf = rtchan_rcvbuf;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) < 0) {
        perror("SO_RCVBUF");
        return -1;
    }
    handle.local = netlink_address(0, groups);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&handle.local), sizeof handle.local) <
        0) {
        perror("Cannot bind netlink socket");
        return -1;
    }
    socklen_t length = sizeof handle.local;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr *>(&handle.local), &length) < 0) {
        perror("Cannot getsockname");
        return -1;
    }
    if (length != sizeof handle.local) {
        kxnet_log("Wrong address length %d", static_cast<int>(length));
        return -1;
    }
    if (handle.local.nl_family != AF_NETLINK) {
        kxnet_log("Wrong address family %d", static_cast<int>(handle.local.nl_family));
        return -1;
    }
    handle.seq = static_cast<uint32_t>(time(nullptr));
    handle.fd = fd.release();
    return 0;
}

void rtchan_close(rtchan &handle) {
    if (handle.fd >= 0) close_retry(handle.fd);
    handle.fd = -1;
}

int rtchan_dump_request(rtchan &handle, int family, int type) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
        unsigned char padding[3];
    } request{};
    static_assert(sizeof request == 20, "a dump request is 20 bytes");
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = static_cast<uint16_t>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ROOT | NLM_F_MATCH;
    request.header.nlmsg_seq = handle.dump = ++handle.seq;
    request.body.rtgen_family = static_cast<unsigned char>(family);
    const sockaddr_nl kernel = netlink_address(0, 0);
    return static_cast<int>(sendto(handle.fd, &request, sizeof request, 0,
                                   reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel));
}

// Receives datagrams into `buffer` and hands each to `walk` until the walk
// answers with a result instead of asking for more.
template <class Walk>
int receive_walking(int fd, char (&buffer)[rtchan_buffer_size], Walk walk) {
    for (;;) {
        sockaddr_nl sender{};
        socklen_t sender_length = 0;
        int msg_flags = 0;
        ssize_t length = receive_datagram(fd, buffer, sender, sender_length, msg_flags);
        if (length < 0) return -1;
        // A truncated datagram reports its full length; only the buffer holds data.
        const std::size_t held = std::min(static_cast<std::size_t>(length), sizeof buffer);
        int result = walk(sender, sender_length, held, msg_flags);
        if (result != rtchan_walk_more) return result;
    }
}

int rtchan_dump_receive(rtchan &handle, rtchan_filter filter, void *filter_arg, rtchan_filter junk,
                        void *junk_arg) {
    bool interrupted = false;
    alignas(nlmsghdr) char buffer[rtchan_buffer_size];
    return receive_walking(handle.fd, buffer,
                           [&](const sockaddr_nl &sender, socklen_t, std::size_t held, int msg_flags) {
                               return rtchan_dump_walk(handle, sender, buffer, held, msg_flags,
                                                       interrupted, filter, filter_arg, junk,
                                                       junk_arg);
                           });
}

int rtchan_transact(rtchan &handle, nlmsghdr *request, uint32_t peer, uint32_t groups,
                    nlmsghdr *answer, rtchan_filter junk, void *junk_arg, std::size_t answer_size) {
    const uint32_t seq = ++handle.seq;
    request->nlmsg_seq = seq;
    if (answer == nullptr) request->nlmsg_flags |= NLM_F_ACK;

    sockaddr_nl destination = netlink_address(peer, groups);
    iovec io{request, request->nlmsg_len};
    msghdr header{};
    header.msg_name = &destination;
    header.msg_namelen = sizeof destination;
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    if (sendmsg(handle.fd, &header, 0) < 0) {
        perror("Cannot talk to rtnetlink");
        return -1;
    }

    alignas(nlmsghdr) char buffer[rtchan_buffer_size] = {};
    return receive_walking(
        handle.fd, buffer,
        [&](const sockaddr_nl &sender, socklen_t sender_length, std::size_t held, int msg_flags) {
            return rtchan_transact_walk(handle, peer, seq, sender, sender_length, buffer, held,
                                        msg_flags, answer, answer_size, junk, junk_arg);
        });
}

} // namespace kx
