// The rtnetlink channel's walks over crafted datagrams, and the attribute
// helpers.
#include "rtnl/rtnl.h"

#include "test_support.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint32_t local_port = 4242;
constexpr uint32_t dump_seq = 77;

// A datagram assembled message by message, each padded to 4 bytes.
struct datagram {
    alignas(nlmsghdr) char bytes[kx::rtchan_buffer_size] = {};
    std::size_t length = 0;

    nlmsghdr *add(uint16_t type, uint32_t seq = dump_seq, uint16_t flags = 0, std::size_t body = 4,
                  uint32_t port = local_port) {
        auto *message = reinterpret_cast<nlmsghdr *>(bytes + length);
        message->nlmsg_len = static_cast<uint32_t>(sizeof(nlmsghdr) + body);
        message->nlmsg_type = type;
        message->nlmsg_flags = flags;
        message->nlmsg_seq = seq;
        message->nlmsg_pid = port;
        length += (message->nlmsg_len + 3U) & ~3U;
        return message;
    }
    nlmsghdr *add_error(int code, uint32_t seq = dump_seq) {
        nlmsghdr *message = add(NLMSG_ERROR, seq, 0, sizeof(nlmsgerr));
        reinterpret_cast<nlmsgerr *>(NLMSG_DATA(message))->error = code;
        return message;
    }
};

kx::rtchan test_handle() {
    kx::rtchan handle;
    handle.local.nl_family = AF_NETLINK;
    handle.local.nl_pid = local_port;
    handle.dump = dump_seq;
    return handle;
}

sockaddr_nl from_kernel() {
    sockaddr_nl sender{};
    sender.nl_family = AF_NETLINK;
    return sender;
}

// What the callbacks saw: message types in order; `stop_at` makes one fail.
struct seen {
    std::vector<int> types;
    int stop_at = -1;
};

int record(const sockaddr_nl *, nlmsghdr *message, void *arg) {
    auto *s = static_cast<seen *>(arg);
    s->types.push_back(message->nlmsg_type);
    return message->nlmsg_type == s->stop_at ? -7 : 0;
}

// The walk asks for the next datagram.
const kx::rtchan_walk_result more = std::nullopt;

kx::rtchan_datagram received(datagram &d, int msg_flags = 0, sockaddr_nl sender = from_kernel(),
                             socklen_t sender_length = sizeof(sockaddr_nl)) {
    return {sender, sender_length, d.bytes, d.length, msg_flags};
}

class RtnlWalk : public ::testing::Test {
protected:
    kxtest::scratch_root root;
    kx::rtchan handle = test_handle();
    seen filtered, junked;
    bool interrupted = false;

    kx::rtchan_walk_result dump(datagram &d, int msg_flags = 0, bool with_junk = false) {
        kx::rtchan_dump_walk_state state{record, &filtered, with_junk ? record : nullptr, &junked, interrupted};
        const kx::rtchan_walk_result result = kx::rtchan_dump_walk(handle, received(d, msg_flags), state);
        interrupted = state.interrupted;
        return result;
    }
    kx::rtchan_walk_result transact(datagram &d, nlmsghdr *answer = nullptr, int msg_flags = 0,
                                    socklen_t sender_length = sizeof(sockaddr_nl),
                                    std::size_t answer_size = 16384) {
        const kx::rtchan_transact_walk_args args{0, dump_seq, answer, answer_size, record, &junked};
        return kx::rtchan_transact_walk(handle, received(d, msg_flags, from_kernel(), sender_length), args);
    }
};

TEST_F(RtnlWalk, DumpOverSeveralDatagramsDeliversInOrderUntilDone) {
    datagram first, second;
    first.add(RTM_NEWLINK);
    first.add(RTM_NEWADDR);
    second.add(RTM_NEWROUTE);
    second.add(NLMSG_DONE);
    second.add(RTM_NEWLINK); // after the end: never seen
    EXPECT_EQ(dump(first), more);
    EXPECT_EQ(dump(second), 0);
    EXPECT_EQ(filtered.types, (std::vector<int>{RTM_NEWLINK, RTM_NEWADDR, RTM_NEWROUTE}));
    EXPECT_TRUE(kxtest::log_messages().empty());
}

TEST_F(RtnlWalk, InterruptedMarkOfFirstDatagramHoldsToDone) {
    datagram first, second;
    first.add(RTM_NEWLINK, dump_seq, NLM_F_DUMP_INTR);
    second.add(RTM_NEWLINK);
    second.add(NLMSG_DONE);
    EXPECT_EQ(dump(first), more);
    EXPECT_EQ(dump(second), -EINTR);

    // Only the first message of a datagram sets the mark.
    interrupted = false;
    datagram late;
    late.add(RTM_NEWLINK);
    late.add(NLMSG_DONE, dump_seq, NLM_F_DUMP_INTR);
    EXPECT_EQ(dump(late), 0);
}

TEST_F(RtnlWalk, ForeignRepliesBypassTheFilter) {
    datagram d;
    d.add(RTM_NEWLINK, dump_seq + 1);                   // other sequence
    d.add(RTM_NEWADDR, dump_seq, 0, 4, local_port + 1); // other port
    d.add(RTM_NEWROUTE);
    d.add(NLMSG_DONE);
    EXPECT_EQ(dump(d), 0);
    EXPECT_EQ(filtered.types, std::vector<int>{RTM_NEWROUTE});
    EXPECT_TRUE(junked.types.empty());
    EXPECT_TRUE(kxtest::log_messages().empty());

    filtered.types.clear();
    EXPECT_EQ(dump(d, 0, true), 0);
    EXPECT_EQ(junked.types, (std::vector<int>{RTM_NEWLINK, RTM_NEWADDR}));

    // A message from a sender other than the kernel is foreign too.
    sockaddr_nl user = from_kernel();
    user.nl_pid = 99;
    filtered.types.clear();
    kx::rtchan_dump_walk_state unheard{record, &filtered, nullptr, nullptr, false};
    EXPECT_EQ(kx::rtchan_dump_walk(handle, received(d, 0, user), unheard), more);
    EXPECT_TRUE(filtered.types.empty());
}

TEST_F(RtnlWalk, NegativeCallbackStopsAtOnce) {
    datagram d;
    d.add(RTM_NEWLINK);
    d.add(RTM_NEWADDR);
    d.add(RTM_NEWROUTE);
    filtered.stop_at = RTM_NEWADDR;
    EXPECT_EQ(dump(d), -7);
    EXPECT_EQ(filtered.types, (std::vector<int>{RTM_NEWLINK, RTM_NEWADDR}));

    datagram foreign;
    foreign.add(RTM_NEWROUTE, 1);
    junked.stop_at = RTM_NEWROUTE;
    EXPECT_EQ(dump(foreign, 0, true), -7);
}

TEST_F(RtnlWalk, DumpErrorsFailWithTheirText) {
    datagram d;
    d.add_error(-EEXIST);
    CaptureStderr();
    EXPECT_EQ(dump(d), -EEXIST);
    EXPECT_EQ(GetCapturedStderr(), "RTNETLINK answers: " + std::string(strerror(EEXIST)) + "\n");
    EXPECT_EQ(errno, EEXIST);

    // An acknowledgement answers no dump: still a failure, never success.
    datagram zero;
    zero.add_error(0);
    CaptureStderr();
    EXPECT_EQ(dump(zero), -EPROTO);
    EXPECT_EQ(GetCapturedStderr(), "RTNETLINK answers: " + std::string(strerror(0)) + "\n");

    datagram shortened;
    shortened.add(NLMSG_ERROR, dump_seq, 0, 8);
    EXPECT_EQ(dump(shortened), -EPROTO);
    EXPECT_EQ(kxtest::log_messages(), std::vector<std::string>{"ERROR truncated"});
}

TEST_F(RtnlWalk, TruncatedDatagramReceivesAgainAndRemnantFails) {
    datagram d;
    d.add(RTM_NEWLINK);
    d.length += 6; // part of a message cut off by the buffer
    EXPECT_EQ(dump(d, MSG_TRUNC), more);
    EXPECT_EQ(dump(d), -EPROTO);
    EXPECT_EQ(filtered.types, (std::vector<int>{RTM_NEWLINK, RTM_NEWLINK}));
    EXPECT_EQ(kxtest::log_messages(),
              (std::vector<std::string>{"Message truncated", "!!!Remnant of size 6"}));

    // A length beyond the datagram leaves the whole message as remnant.
    datagram overlong;
    overlong.add(RTM_NEWLINK)->nlmsg_len = 64;
    kxtest::clear_log();
    EXPECT_EQ(dump(overlong), -EPROTO);
    EXPECT_EQ(kxtest::log_messages(), std::vector<std::string>{"!!!Remnant of size 20"});
}

TEST_F(RtnlWalk, TransactAcknowledgementAfterForeignMessage) {
    datagram d;
    d.add(RTM_NEWADDR, dump_seq - 1);
    d.add_error(0);
    EXPECT_EQ(transact(d), 0);
    EXPECT_EQ(junked.types, std::vector<int>{RTM_NEWADDR});

    alignas(nlmsghdr) char answer[64] = {};
    EXPECT_EQ(transact(d, reinterpret_cast<nlmsghdr *>(answer)), 0);
    EXPECT_EQ(reinterpret_cast<nlmsghdr *>(answer)->nlmsg_type, NLMSG_ERROR);
}

TEST_F(RtnlWalk, TransactKernelErrorPrintsItsText) {
    datagram d;
    d.add_error(-EEXIST);
    CaptureStderr();
    EXPECT_EQ(transact(d), -EEXIST);
    EXPECT_EQ(GetCapturedStderr(), "RTNETLINK answers: " + std::string(strerror(EEXIST)) + "\n");

    // A code with no positive counterpart reads as a protocol error.
    for (bool in_dump : {false, true}) {
        datagram lowest;
        lowest.add_error(INT_MIN);
        CaptureStderr();
        EXPECT_EQ(in_dump ? dump(lowest) : transact(lowest), -EPROTO);
        EXPECT_EQ(GetCapturedStderr(), "RTNETLINK answers: " + std::string(strerror(EPROTO)) + "\n");
        EXPECT_EQ(errno, EPROTO);
    }

    datagram shortened;
    shortened.add(NLMSG_ERROR, dump_seq, 0, 16);
    EXPECT_EQ(transact(shortened), -EPROTO);
    EXPECT_EQ(kxtest::log_messages(), std::vector<std::string>{"ERROR truncated"});
}

TEST_F(RtnlWalk, TransactReplyGoesToTheAnswerOrIsSkipped) {
    datagram d;
    d.add(RTM_NEWLINK, dump_seq, 0, 40);
    EXPECT_EQ(transact(d), more);
    EXPECT_EQ(kxtest::log_messages(), std::vector<std::string>{"Unexpected reply!!!"});

    alignas(nlmsghdr) char answer[128] = {};
    EXPECT_EQ(transact(d, reinterpret_cast<nlmsghdr *>(answer)), 0);
    EXPECT_EQ(memcmp(answer, d.bytes, 56), 0);

    // A reply larger than the caller's buffer is refused, not copied past it.
    kxtest::clear_log();
    EXPECT_EQ(transact(d, reinterpret_cast<nlmsghdr *>(answer), 0, sizeof(sockaddr_nl), 32), -EMSGSIZE);
    EXPECT_EQ(kxtest::log_messages(),
              std::vector<std::string>{"Reply of 56 bytes exceeds the answer buffer"});
}

// The conditions that would have ended the process now fail the call.
TEST_F(RtnlWalk, TransactMalformedDatagramsFailTheCall) {
    datagram d;
    d.add_error(0);
    EXPECT_EQ(transact(d, nullptr, 0, 8), -EPROTO);

    datagram overlong;
    overlong.add(RTM_NEWLINK)->nlmsg_len = 300;
    EXPECT_EQ(transact(overlong), -EPROTO);
    EXPECT_EQ(transact(overlong, nullptr, MSG_TRUNC), -EMSGSIZE);

    datagram remnant;
    remnant.add(RTM_NEWLINK, 1);
    remnant.length += 8;
    EXPECT_EQ(transact(remnant), -EPROTO);
    EXPECT_EQ(transact(remnant, nullptr, MSG_TRUNC), more);

    EXPECT_EQ(kxtest::log_messages(),
              (std::vector<std::string>{"sender address length == 8",
                                        "!!!malformed message: len=300", "Truncated message",
                                        "!!!Remnant of size 8", "Message truncated"}));
}

TEST(RtnlAttr, AddattrKeepsTheBound) {
    kxtest::scratch_root root;
    alignas(nlmsghdr) unsigned char request[280] = {};
    auto *message = reinterpret_cast<nlmsghdr *>(request);
    message->nlmsg_len = 24;
    const uint32_t value = 0x0a000005;
    ASSERT_EQ(kx::addattr_l(message, 280, IFA_LOCAL, &value, 4), 0);
    ASSERT_EQ(kx::addattr_l(message, 280, IFA_ADDRESS, &value, 4), 0);
    EXPECT_EQ(message->nlmsg_len, 40U);
    const auto *second = reinterpret_cast<const rtattr *>(request + 32);
    EXPECT_EQ(second->rta_len, 8);
    EXPECT_EQ(second->rta_type, IFA_ADDRESS);
    EXPECT_EQ(memcmp(RTA_DATA(second), &value, 4), 0);

    // 40 + 240 reaches 280 exactly; one more byte (rounded to 4) passes it.
    unsigned char data[240] = {};
    EXPECT_EQ(kx::addattr_l(message, 280, IFA_LABEL, data, 237), -EMSGSIZE);
    EXPECT_EQ(message->nlmsg_len, 40U);
    EXPECT_EQ(kx::addattr_l(message, 280, IFA_LABEL, data, 236), 0);
    EXPECT_EQ(message->nlmsg_len, 280U);
    EXPECT_EQ(kxtest::log_messages(),
              std::vector<std::string>{"addattr_l ERROR: message exceeded bound of 280"});
}

TEST(RtnlAttr, TableKeepsTheLaterAttributeAndLogsDeficit) {
    kxtest::scratch_root root;
    alignas(rtattr) unsigned char run[64] = {};
    auto put = [&](std::size_t at, uint16_t type, uint16_t length) {
        auto *attr = reinterpret_cast<rtattr *>(run + at);
        attr->rta_len = length;
        attr->rta_type = type;
        return attr;
    };
    put(0, 1, 8);
    const rtattr *later = put(8, 1, 5); // padded to 8
    const rtattr *name = put(16, 3, 4);
    put(20, 9, 8); // above max: ignored
    const rtattr *table[5];
    kx::rtattr_table_by_type(table, 4, reinterpret_cast<rtattr *>(run), 28);
    EXPECT_EQ(table[1], later);
    EXPECT_EQ(table[3], name);
    EXPECT_EQ(table[0], nullptr);
    EXPECT_TRUE(kxtest::log_messages().empty());

    put(28, 0, 0x1234);
    kx::rtattr_table_by_type(table, 4, reinterpret_cast<rtattr *>(run), 30);
    EXPECT_EQ(table[3], name);
    EXPECT_EQ(kxtest::log_messages(), std::vector<std::string>{"!!!Deficit 2, rta_len=4660"});
}

} // namespace

// A closed channel holds no descriptor, so a second close cannot hit one
// that the process has opened meanwhile.
TEST(RtnlChannel, CloseLeavesTheHandleClosed) {
    kx::rtchan channel;
    ASSERT_EQ(kx::rtchan_open(channel, 0), 0);
    const int fd = channel.fd;
    kx::rtchan_close(channel);
    EXPECT_EQ(channel.fd, -1);
    const int reused = dup(0);
    ASSERT_EQ(reused, fd);
    kx::rtchan_close(channel);
    EXPECT_NE(fcntl(reused, F_GETFD), -1) << "the reused descriptor was closed";
    close(reused);
}
