// The walks over one received rtnetlink datagram: which messages answer the
// request, what ends the exchange, and what a malformed datagram means.  Pure
// functions over a buffer; the socket loops in channel.cpp feed them.
#include "rtnl/rtnl.h"

#include "frame/log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kx {

static_assert(AF_NETLINK == 16 && SOCK_RAW == 3 && NETLINK_ROUTE == 0);
static_assert(sizeof(nlmsghdr) == 16 && sizeof(sockaddr_nl) == 12);
static_assert(NLMSG_ERROR == 2 && NLMSG_DONE == 3);
static_assert(NLM_F_REQUEST == 0x1 && NLM_F_ACK == 0x4 && NLM_F_DUMP_INTR == 0x10);
static_assert(NLM_F_ROOT == 0x100 && NLM_F_MATCH == 0x200 && MSG_TRUNC == 0x20);
static_assert(sizeof(nlmsgerr) == 20, "error code and the request's header");

namespace {

constexpr std::size_t header_size = sizeof(nlmsghdr);
// An error message: header, error code, the request's header.
constexpr std::size_t error_message_size = header_size + sizeof(nlmsgerr);

constexpr std::size_t align4(std::size_t length) { return (length + 3U) & ~std::size_t{3}; }

// Steps past one message; a last message without its padding ends the run.
void advance(char *&at, std::size_t &remaining, const nlmsghdr *message) {
    const std::size_t step = align4(message->nlmsg_len);
    if (step >= remaining) {
        at += remaining;
        remaining = 0;
        return;
    }
    at += step;
    remaining -= step;
}

int error_code(const nlmsghdr *message) {
    int code;
    memcpy(&code, reinterpret_cast<const char *>(message) + header_size, sizeof code);
    return code;
}

// The errno an error code stands for.  INT_MIN has no positive counterpart
// in an int: a crafted datagram's code reads as a protocol error.
int errno_of(int code) { return code == INT_MIN ? EPROTO : -code; }

// What ends every walk: truncation asks for the next datagram, leftover
// bytes that form no message fail the call.
int walk_end(std::size_t remaining, int msg_flags) {
    if ((msg_flags & MSG_TRUNC) != 0) {
        kxnet_log("Message truncated");
        return rtchan_walk_more;
    }
    if (remaining > 0) {
        kxnet_log("!!!Remnant of size %d", static_cast<int>(remaining));
        return -1;
    }
    return rtchan_walk_more;
}

} // namespace

int rtchan_dump_walk(const rtchan &handle, const sockaddr_nl &sender, char *data,
                     std::size_t length, int msg_flags, bool &interrupted, rtchan_filter filter,
                     void *filter_arg, rtchan_filter junk, void *junk_arg) {
    char *at = data;
    std::size_t remaining = length;
    if (remaining >= header_size &&
        (reinterpret_cast<const nlmsghdr *>(at)->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
        interrupted = true;
    while (remaining >= header_size) {
        auto *message = reinterpret_cast<nlmsghdr *>(at);
        if (message->nlmsg_len < header_size || message->nlmsg_len > remaining) break;
        const bool belongs = sender.nl_pid == 0 && message->nlmsg_pid == handle.local.nl_pid &&
                             message->nlmsg_seq == handle.dump;
        if (!belongs) {
            if (junk != nullptr) {
                int result = junk(&sender, message, junk_arg);
                if (result < 0) return result;
            }
        } else if (message->nlmsg_type == NLMSG_DONE) {
            return interrupted ? -2 : 0;
        } else if (message->nlmsg_type == NLMSG_ERROR) {
            if (message->nlmsg_len >= error_message_size) {
                errno = errno_of(error_code(message));
                perror("RTNETLINK answers");
            } else {
                kxnet_log("ERROR truncated");
            }
            return -1;
        } else {
            int result = filter(&sender, message, filter_arg);
            if (result < 0) return result;
        }
        advance(at, remaining, message);
    }
    return walk_end(remaining, msg_flags);
}

namespace {

// Copies a reply for the caller; a reply larger than its buffer fails.
int copy_answer(nlmsghdr *answer, std::size_t answer_size, const nlmsghdr *message) {
    if (message->nlmsg_len > answer_size) {
        kxnet_log("Reply of %u bytes exceeds the answer buffer", message->nlmsg_len);
        return -1;
    }
    memcpy(answer, message, message->nlmsg_len);
    return 0;
}

} // namespace

int rtchan_transact_walk(const rtchan &handle, uint32_t peer, uint32_t seq,
                         const sockaddr_nl &sender, socklen_t sender_length, char *data,
                         std::size_t length, int msg_flags, nlmsghdr *answer,
                         std::size_t answer_size, rtchan_filter junk, void *junk_arg) {
    if (sender_length != sizeof(sockaddr_nl)) {
        kxnet_log("sender address length == %d", static_cast<int>(sender_length));
        return -1;
    }
    char *at = data;
    std::size_t remaining = length;
    while (remaining >= header_size) {
        auto *message = reinterpret_cast<nlmsghdr *>(at);
        if (message->nlmsg_len < header_size || message->nlmsg_len > remaining) {
            if ((msg_flags & MSG_TRUNC) != 0) {
                kxnet_log("Truncated message");
                return -1;
            }
            kxnet_log("!!!malformed message: len=%d", static_cast<int>(message->nlmsg_len));
            return -1;
        }
        const bool answers = sender.nl_pid == peer && message->nlmsg_pid == handle.local.nl_pid &&
                             message->nlmsg_seq == seq;
        if (!answers) {
            if (junk != nullptr) {
                int result = junk(&sender, message, junk_arg);
                if (result < 0) return result;
            }
        } else if (message->nlmsg_type == NLMSG_ERROR) {
            if (message->nlmsg_len < error_message_size) {
                kxnet_log("ERROR truncated");
                return -1;
            }
            const int code = error_code(message);
            errno = errno_of(code);
            if (code != 0) {
                perror("RTNETLINK answers");
                return -1;
            }
            return answer != nullptr ? copy_answer(answer, answer_size, message) : 0;
        } else if (answer != nullptr) {
            return copy_answer(answer, answer_size, message);
        } else {
            kxnet_log("Unexpected reply!!!");
        }
        advance(at, remaining, message);
    }
    return walk_end(remaining, msg_flags);
}

} // namespace kx
