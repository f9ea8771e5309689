// The narrow forms of the link and address dumps, for a snapshot of one
// interface: a request for one link by name, answered by that link's message
// alone, and address dump requests that the kernel filters by link index
// once strict checking is on; and a link dump request that carries an
// extension mask.
#include "rtnl/rtnl.h"

#include "sys/error.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <sys/uio.h>

namespace kx {

static_assert(IFLA_IFNAME == 3 && NLMSG_ERROR == 2 && NLMSG_DONE == 3);

namespace {

// A link's message with every attribute a request without an extension
// mask brings fits with room to spare; a longer answer fails the request.
constexpr std::size_t answer_buffer_size = 2 * rtchan_buffer_size;

// One whole datagram and its sender; its length, or a negative errno
// (-EMSGSIZE when the datagram did not fit, -EPIPE at the end of the stream).
ssize_t receive_whole(int fd, char (&buffer)[answer_buffer_size], sockaddr_nl &sender) {
    for (;;) {
        iovec io{buffer, sizeof buffer};
        msghdr header = one_buffer_message(sender, io);
        const ssize_t length = recvmsg(fd, &header, 0);
        if (length < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (length < 0) return failed_errno();
        if (length == 0) return -EPIPE;
        if ((header.msg_flags & MSG_TRUNC) != 0) return -EMSGSIZE;
        return length;
    }
}

// The kernel's code: 0 (an acknowledgement) or a negative errno.
int error_code(const nlmsghdr *message) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EPROTO;
    int code;
    memcpy(&code, NLMSG_DATA(message), sizeof code);
    return code == INT_MIN || code > 0 ? -EPROTO : code;
}

// The messages of one datagram that answer request `seq`: each link message
// goes to `filter`; the acknowledgement or an error ends the exchange.
rtchan_walk_result walk_answer(const rtchan &handle, uint32_t seq, char *data, std::size_t length,
                               rtchan_filter filter, void *arg) {
    const sockaddr_nl kernel = netlink_address();
    while (length >= sizeof(nlmsghdr)) {
        auto *message = reinterpret_cast<nlmsghdr *>(data);
        if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > length) return -EPROTO;
        const bool answers = message->nlmsg_pid == handle.local.nl_pid && message->nlmsg_seq == seq;
        if (answers && message->nlmsg_type == NLMSG_ERROR) return error_code(message);
        if (answers && message->nlmsg_type == NLMSG_DONE) return 0;
        if (answers) {
            const int result = filter(&kernel, message, arg);
            if (result < 0) return result;
        }
        const std::size_t step = NLMSG_ALIGN(message->nlmsg_len);
        if (step >= length) break;
        data += step;
        length -= step;
    }
    return std::nullopt;
}

} // namespace

bool rtchan_strict_check(rtchan &handle) {
    const int on = 1;
    return setsockopt(handle.fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on) == 0;
}

int rtchan_get_link(rtchan &handle, const char *name, rtchan_filter filter, void *arg) {
    struct {
        nlmsghdr header;
        ifinfomsg body;
        char attrs[RTA_SPACE(IFNAMSIZ)];
    } request{};
    request.header = rtchan_request_header(handle, RTM_GETLINK, NLM_F_REQUEST | NLM_F_ACK, sizeof request.body);
    if (int error = addattr_l(&request.header, sizeof request, IFLA_IFNAME, name,
                              static_cast<int>(strnlen(name, IFNAMSIZ - 1)) + 1);
        error != 0)
        return error;
    if (int error = rtchan_send(handle, request.header); error != 0) return error;
    alignas(nlmsghdr) char buffer[answer_buffer_size];
    for (;;) {
        sockaddr_nl sender{};
        const ssize_t length = receive_whole(handle.fd, buffer, sender);
        if (length < 0) return static_cast<int>(length);
        if (sender.nl_pid != 0) continue;
        if (rtchan_walk_result result = walk_answer(handle, request.header.nlmsg_seq, buffer,
                                                    static_cast<std::size_t>(length), filter, arg))
            return *result;
    }
}

int rtchan_link_dump_request(rtchan &handle, uint32_t ext_mask) {
    struct {
        nlmsghdr header;
        ifinfomsg body;
        char attrs[RTA_SPACE(sizeof(uint32_t))];
    } request{};
    request.header = rtchan_request_header(handle, RTM_GETLINK, NLM_F_REQUEST | NLM_F_DUMP, sizeof request.body);
    handle.dump = request.header.nlmsg_seq;
    if (int error = addattr_l(&request.header, sizeof request, IFLA_EXT_MASK, &ext_mask, sizeof ext_mask);
        error != 0)
        return error;
    return rtchan_send(handle, request.header);
}

int rtchan_addr_dump_request(rtchan &handle, int family, int ifindex) {
    struct {
        nlmsghdr header;
        ifaddrmsg body;
    } request{};
    request.header = rtchan_request_header(handle, RTM_GETADDR, NLM_F_REQUEST | NLM_F_DUMP, sizeof request.body);
    handle.dump = request.header.nlmsg_seq;
    request.body.ifa_family = static_cast<unsigned char>(family);
    request.body.ifa_index = static_cast<uint32_t>(ifindex);
    return rtchan_send(handle, request.header);
}

} // namespace kx
