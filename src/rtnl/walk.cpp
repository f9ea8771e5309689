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

// The kernel's error message as the call's failure, its text printed.  A
// code of 0 ends a dump as a failure too: it answers no request of a dump.
int kernel_refusal(const nlmsghdr *message) {
    errno = errno_of(error_code(message));
    perror("RTNETLINK answers");
    return errno != 0 ? -errno : -EPROTO;
}

// What ends every walk: truncation asks for the next datagram, leftover
// bytes that form no message fail the call.
rtchan_walk_result walk_end(std::size_t remaining, int msg_flags) {
    if ((msg_flags & MSG_TRUNC) != 0) {
        kxnet_log("Message truncated");
        return std::nullopt;
    }
    if (remaining > 0) {
        kxnet_log("!!!Remnant of size %d", static_cast<int>(remaining));
        return -EPROTO;
    }
    return std::nullopt;
}

// Hands a foreign message to `junk` (when there is one): its negative
// result ends the walk.
rtchan_walk_result pass_to_junk(rtchan_filter junk, void *junk_arg, const sockaddr_nl &sender,
                                nlmsghdr *message) {
    if (junk == nullptr) return std::nullopt;
    const int result = junk(&sender, message, junk_arg);
    if (result < 0) return result;
    return std::nullopt;
}

} // namespace

rtchan_walk_result rtchan_dump_walk(const rtchan &handle, const rtchan_datagram &datagram,
                                    rtchan_dump_walk_state &state) {
    const sockaddr_nl &sender = datagram.sender;
    char *at = datagram.data;
    std::size_t remaining = datagram.length;
    if (remaining >= header_size &&
        (reinterpret_cast<const nlmsghdr *>(at)->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
        state.interrupted = true;
    while (remaining >= header_size) {
        auto *message = reinterpret_cast<nlmsghdr *>(at);
        if (message->nlmsg_len < header_size || message->nlmsg_len > remaining) break;
        const bool belongs = sender.nl_pid == 0 && message->nlmsg_pid == handle.local.nl_pid &&
                             message->nlmsg_seq == handle.dump;
        if (!belongs) {
            if (rtchan_walk_result end = pass_to_junk(state.junk, state.junk_arg, sender, message)) return end;
        } else if (message->nlmsg_type == NLMSG_DONE) {
            return state.interrupted ? -EINTR : 0;
        } else if (message->nlmsg_type == NLMSG_ERROR) {
            if (message->nlmsg_len >= error_message_size) return kernel_refusal(message);
            kxnet_log("ERROR truncated");
            return -EPROTO;
        } else {
            const int result = state.filter(&sender, message, state.filter_arg);
            if (result < 0) return result;
        }
        advance(at, remaining, message);
    }
    return walk_end(remaining, datagram.msg_flags);
}

namespace {

// Copies a reply for the caller; a reply larger than its buffer fails.
int copy_answer(nlmsghdr *answer, std::size_t answer_size, const nlmsghdr *message) {
    if (message->nlmsg_len > answer_size) {
        kxnet_log("Reply of %u bytes exceeds the answer buffer", message->nlmsg_len);
        return -EMSGSIZE;
    }
    memcpy(answer, message, message->nlmsg_len);
    return 0;
}

// The answer to the request: an acknowledgement, a refusal, or a reply.
rtchan_walk_result take_answer(const rtchan_transact_walk_args &args, const nlmsghdr *message) {
    if (message->nlmsg_type == NLMSG_ERROR) {
        if (message->nlmsg_len < error_message_size) {
            kxnet_log("ERROR truncated");
            return -EPROTO;
        }
        if (error_code(message) != 0) return kernel_refusal(message);
        errno = 0;
        return args.answer != nullptr ? copy_answer(args.answer, args.answer_size, message) : 0;
    }
    if (args.answer != nullptr) return copy_answer(args.answer, args.answer_size, message);
    kxnet_log("Unexpected reply!!!");
    return std::nullopt;
}

} // namespace

rtchan_walk_result rtchan_transact_walk(const rtchan &handle, const rtchan_datagram &datagram,
                                        const rtchan_transact_walk_args &args) {
    if (datagram.sender_length != sizeof(sockaddr_nl)) {
        kxnet_log("sender address length == %d", static_cast<int>(datagram.sender_length));
        return -EPROTO;
    }
    const sockaddr_nl &sender = datagram.sender;
    char *at = datagram.data;
    std::size_t remaining = datagram.length;
    while (remaining >= header_size) {
        auto *message = reinterpret_cast<nlmsghdr *>(at);
        if (message->nlmsg_len < header_size || message->nlmsg_len > remaining) {
            if ((datagram.msg_flags & MSG_TRUNC) != 0) {
                kxnet_log("Truncated message");
                return -EMSGSIZE;
            }
            kxnet_log("!!!malformed message: len=%d", static_cast<int>(message->nlmsg_len));
            return -EPROTO;
        }
        const bool answers = sender.nl_pid == args.peer && message->nlmsg_pid == handle.local.nl_pid &&
                             message->nlmsg_seq == args.seq;
        if (!answers) {
            if (rtchan_walk_result end = pass_to_junk(args.junk, args.junk_arg, sender, message)) return end;
        } else if (rtchan_walk_result end = take_answer(args, message)) {
            return end;
        }
        advance(at, remaining, message);
    }
    return walk_end(remaining, datagram.msg_flags);
}

} // namespace kx
