// The rtnetlink datagram walks (dump and request-answer) and the attribute
// indexing, over crafted datagrams held in buffers of their exact size so
// that any read past them is caught.
#include "rtnl/rtnl.h"

#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/if_link.h>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t local_port = 4242;
constexpr uint32_t request_seq = 77;

// Reads every byte of a message the walk hands over; fails on some types
// so the callbacks' stop path is walked too.
int touch(const sockaddr_nl *, nlmsghdr *message, void *arg) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(message);
    unsigned sum = 0;
    for (uint32_t i = 0; i < message->nlmsg_len; ++i) sum += bytes[i];
    *static_cast<unsigned *>(arg) += sum;
    return message->nlmsg_type == 0x55 ? -7 : 0;
}

// Indexes the attributes after a link message's header and reads each
// indexed attribute's payload whole.
void index_attributes(const std::vector<uint8_t> &body) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[body.size()]);
    std::memcpy(copy.get(), body.data(), body.size());
    const rtattr *table[IFLA_MAX + 1] = {};
    kx::rtattr_table_by_type(table, IFLA_MAX, reinterpret_cast<const rtattr *>(copy.get()), body.size());
    unsigned sum = 0;
    for (const rtattr *attr : table) {
        if (attr == nullptr) continue;
        const auto *payload = static_cast<const unsigned char *>(RTA_DATA(attr));
        for (std::size_t i = 0; i < RTA_PAYLOAD(attr); ++i) sum += payload[i];
    }
    if (sum == 0xdeadbeef) std::abort(); // keeps the reads
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int mode = input.ConsumeIntegralInRange(0, 2);
    const int msg_flags = input.ConsumeBool() ? MSG_TRUNC : 0;
    sockaddr_nl sender{};
    sender.nl_family = AF_NETLINK;
    sender.nl_pid = input.ConsumeBool() ? 0 : input.ConsumeIntegral<uint32_t>();
    kx::rtchan handle;
    handle.local.nl_family = AF_NETLINK;
    handle.local.nl_pid = local_port;
    handle.dump = request_seq;
    std::vector<uint8_t> rest = input.ConsumeRemainingBytes<uint8_t>();
    if (rest.empty()) return 0;
    if (mode == 2) {
        index_attributes(rest);
        return 0;
    }
    // The datagram in a buffer of its own size, aligned as received.
    std::unique_ptr<char[]> datagram(new char[rest.size() + 1]);
    std::memcpy(datagram.get(), rest.data(), rest.size());
    unsigned seen = 0;
    const kx::rtchan_datagram received{sender, sizeof(sockaddr_nl), datagram.get(), rest.size(), msg_flags};
    if (mode == 0) {
        kx::rtchan_dump_walk_state state{touch, &seen, nullptr, &seen, false};
        for (int round = 0; round < 2; ++round) {
            state.junk = round ? touch : nullptr;
            kx::rtchan_dump_walk(handle, received, state);
        }
    } else {
        alignas(nlmsghdr) char answer[512];
        kx::rtchan_transact_walk(handle, received,
                                 {sender.nl_pid, request_seq, reinterpret_cast<nlmsghdr *>(answer), sizeof answer,
                                  touch, &seen});
        kx::rtchan_transact_walk(handle, received, {sender.nl_pid, request_seq, nullptr, 0, nullptr, nullptr});
    }
    return 0;
}
