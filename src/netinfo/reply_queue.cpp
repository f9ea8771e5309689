// Copies dump replies into a queue; running out of memory fails the
// receive rather than dropping a reply.
#include "netinfo/reply_queue.h"

#include "rtnl/rtnl.h"
#include "sys/memory_short.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <new>
#include <utility>

namespace kx {

static_assert(IFLA_ADDRESS == 1 && IFLA_IFNAME == 3 && IFLA_MASTER == 10 && IFLA_LINKINFO == 18 && RTM_NEWLINK == 16);

namespace {

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// IFLA_IFNAME, IFLA_ADDRESS, IFLA_MASTER and IFLA_LINKINFO as bits: the test
// runs for every attribute of every link of a dump.
constexpr uint32_t kept_link_attrs = 1u << IFLA_IFNAME | 1u << IFLA_ADDRESS | 1u << IFLA_MASTER | 1u << IFLA_LINKINFO;

bool kept_link_attr(unsigned short type) { return type < 32 && (kept_link_attrs >> type & 1u) != 0; }

// Walks the attributes after the link header as the attribute table does;
// calls `use` for each whole one.  False when the run does not end cleanly
// (the table would report a deficit): such a message is kept whole.
template <class Use>
bool walk_link_attrs(const nlmsghdr *message, Use &&use) {
    return rtattr_walk(first_rtattr(message, sizeof(ifinfomsg)), rtattr_run_length(message, sizeof(ifinfomsg)), use)
               .remaining == 0;
}

int copy_whole(reply_queue &queue, const nlmsghdr *message) {
    nlmsghdr *copy = queue.append(message->nlmsg_len);
    memcpy(copy, message, message->nlmsg_len);
    return 0;
}

} // namespace

nlmsghdr *reply_queue::append(std::size_t length) {
    const std::size_t room = align8(length);
    // Room for the pointer first, so a failure below leaves the queue as it
    // was; doubling, since a reserve of one more would copy the whole list
    // on every message.
    if (messages_.size() == messages_.capacity()) messages_.reserve(std::max<std::size_t>(64, 2 * messages_.capacity()));
    if (room > block_size) {
        // A block of its own, put before the block being filled; with no
        // block yet, used_ still marks the last block full.
        auto big = std::make_unique_for_overwrite<unsigned char[]>(room);
        auto *message = reinterpret_cast<nlmsghdr *>(big.get());
        blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(big));
        messages_.push_back(message);
        return message;
    }
    if (used_ + room > block_size) {
        blocks_.push_back(std::make_unique_for_overwrite<unsigned char[]>(block_size));
        used_ = 0;
    }
    auto *message = reinterpret_cast<nlmsghdr *>(blocks_.back().get() + used_);
    used_ += room;
    messages_.push_back(message);
    return message;
}

void reply_queue::clear() {
    blocks_.clear();
    messages_.clear();
    used_ = block_size;
}

int queue_reply(const sockaddr_nl *, nlmsghdr *message, void *queue) noexcept {
    try {
        return copy_whole(*static_cast<reply_queue *>(queue), message);
    } catch (const std::bad_alloc &) {
        note_memory_short();
        return -ENOMEM;
    }
}

int queue_link_reply(const sockaddr_nl *, nlmsghdr *message, void *queue) noexcept {
    auto &replies = *static_cast<reply_queue *>(queue);
    const std::size_t head = NLMSG_LENGTH(sizeof(ifinfomsg));
    try {
        if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < head) return copy_whole(replies, message);
        // The kept attributes are noted in one walk (a kernel reply has one
        // of each); a reply with more than the note holds is walked again.
        constexpr std::size_t noted_max = 8;
        const rtattr *noted[noted_max];
        std::size_t kept = 0;
        std::size_t length = head;
        if (!walk_link_attrs(message, [&](const rtattr *attr) {
                if (!kept_link_attr(attr->rta_type)) return;
                if (kept < noted_max) noted[kept] = attr;
                ++kept;
                length += align4(attr->rta_len);
            }))
            return copy_whole(replies, message);
        nlmsghdr *copy = replies.append(length);
        memcpy(copy, message, head);
        copy->nlmsg_len = static_cast<uint32_t>(length);
        auto *to = reinterpret_cast<unsigned char *>(copy) + head;
        auto put = [&](const rtattr *attr) {
            memcpy(to, attr, attr->rta_len);
            memset(to + attr->rta_len, 0, align4(attr->rta_len) - attr->rta_len);
            to += align4(attr->rta_len);
        };
        if (kept <= noted_max) {
            for (std::size_t i = 0; i < kept; ++i) put(noted[i]);
            return 0;
        }
        walk_link_attrs(message, [&](const rtattr *attr) {
            if (kept_link_attr(attr->rta_type)) put(attr);
        });
        return 0;
    } catch (const std::bad_alloc &) {
        note_memory_short();
        return -ENOMEM;
    }
}

} // namespace kx
