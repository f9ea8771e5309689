// Queues of dump replies: each entry is a heap copy of one netlink message,
// kept in the order received, so a whole dump can be read before any of it
// is used.
#pragma once

#include <cstdlib>
#include <linux/netlink.h>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace kx {

struct free_deleter {
    void operator()(void *block) const { free(block); }
};
using reply_copy = std::unique_ptr<nlmsghdr, free_deleter>;

struct reply_queue {
    std::vector<reply_copy> entries;
};

// Receive callback: appends a copy of `message` to the reply_queue at
// `queue`; 0, or -1 when memory runs out.
int queue_reply(const sockaddr_nl *sender, nlmsghdr *message, void *queue) noexcept;

} // namespace kx
