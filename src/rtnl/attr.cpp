// Attributes of rtnetlink messages: appending one to a request under a
// length bound, and indexing the attributes of a reply by type.
#include "rtnl/rtnl.h"

#include "frame/log.h"

#include <cerrno>
#include <cstring>

namespace kx {

static_assert(sizeof(rtattr) == 4, "an attribute header is 4 bytes");

int addattr_l(nlmsghdr *message, int maxlen, int type, const void *data, int length) {
    const uint32_t attr_length = static_cast<uint32_t>(length) + sizeof(rtattr);
    const uint32_t start = static_cast<uint32_t>(align4(message->nlmsg_len));
    if (length < 0 || start + align4(attr_length) > static_cast<uint32_t>(maxlen)) {
        kxnet_log("addattr_l ERROR: message exceeded bound of %d", maxlen);
        return -EMSGSIZE;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(message);
    const rtattr header{static_cast<unsigned short>(attr_length),
                        static_cast<unsigned short>(type)};
    memcpy(bytes + start, &header, sizeof header);
    if (length > 0) memcpy(bytes + start + sizeof header, data, static_cast<size_t>(length));
    message->nlmsg_len = static_cast<uint32_t>(start + align4(attr_length));
    return 0;
}

void rtattr_table_by_type(const rtattr **table, int max, const rtattr *first, std::size_t length) {
    for (int i = 0; i <= max; ++i)
        table[i] = nullptr;
    const rtattr_walk_end end = rtattr_walk(first, length, [&](const rtattr *attr) {
        if (attr->rta_type <= max) table[attr->rta_type] = attr;
    });
    if (end.remaining == 0) return;
    // The length field of what stopped the walk, as far as it is there.
    uint16_t stopped_length = 0;
    if (end.remaining >= sizeof stopped_length) memcpy(&stopped_length, end.at, sizeof stopped_length);
    kxnet_log("!!!Deficit %d, rta_len=%d", static_cast<int>(end.remaining), static_cast<int>(stopped_length));
}

} // namespace kx
