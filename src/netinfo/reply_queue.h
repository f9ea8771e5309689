// Queues of dump replies: copies of netlink messages kept in the order
// received, so a whole dump can be read before any of it is used.  The copies
// sit in a few large blocks instead of one allocation each, and a link
// message keeps only the attributes that describing a link reads.
#pragma once

#include <cstddef>
#include <linux/netlink.h>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace kx {

class reply_queue {
public:
    // Room for `length` bytes, at least 8-byte aligned, appended to the queue
    // as its next message; may throw std::bad_alloc.
    nlmsghdr *append(std::size_t length);
    const std::vector<nlmsghdr *> &messages() const { return messages_; }
    void clear();

private:
    static constexpr std::size_t block_size = 64 * 1024;
    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t used_ = block_size; // the last block is full until one exists
    std::vector<nlmsghdr *> messages_;
};

// Receive callback: appends a copy of `message` to the reply_queue at
// `queue`; 0, or -ENOMEM when memory runs out.
int queue_reply(const sockaddr_nl *sender, nlmsghdr *message, void *queue) noexcept;

// The same for a link dump: a well-formed link message is copied with only
// its name, hardware address, master and link-info attributes, in their
// order, which is all a description and the link facts read; any other
// message whole.
int queue_link_reply(const sockaddr_nl *sender, nlmsghdr *message, void *queue) noexcept;

} // namespace kx
