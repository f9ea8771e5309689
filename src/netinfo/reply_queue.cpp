// Copies dump replies into a queue; running out of memory fails the
// receive rather than dropping a reply.
#include "netinfo/reply_queue.h"

#include "frame/memory_short.h"

#include <cstring>
#include <new>

namespace kx {

int queue_reply(const sockaddr_nl *, nlmsghdr *message, void *queue) noexcept {
    auto &replies = *static_cast<reply_queue *>(queue);
    reply_copy copy(static_cast<nlmsghdr *>(malloc(message->nlmsg_len)));
    if (!copy) {
        note_memory_short();
        return -1;
    }
    memcpy(copy.get(), message, message->nlmsg_len);
    try {
        replies.entries.push_back(std::move(copy));
    } catch (const std::bad_alloc &) {
        note_memory_short();
        return -1;
    }
    return 0;
}

} // namespace kx
