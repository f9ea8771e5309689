// Attributes of rtnetlink messages: appending one to a request under a
// length bound, and indexing the attributes of a reply by type.
#include "rtnl/rtnl.h"

#include "frame/log.h"

#include <cerrno>
#include <cstring>

namespace kx {

static_assert(sizeof(rtattr) == 4, "an attribute header is 4 bytes");

namespace {

constexpr uint32_t align4(uint32_t length) { return (length + 3U) & ~3U; }

} // namespace

int addattr_l(nlmsghdr *message, int maxlen, int type, const void *data, int length) {
    const uint32_t attr_length = static_cast<uint32_t>(length) + sizeof(rtattr);
    const uint32_t start = align4(message->nlmsg_len);
    if (length < 0 || start + align4(attr_length) > static_cast<uint32_t>(maxlen)) {
        kxnet_log("addattr_l ERROR: message exceeded bound of %d", maxlen);
        return -EMSGSIZE;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(message);
    const rtattr header{static_cast<unsigned short>(attr_length),
                        static_cast<unsigned short>(type)};
    memcpy(bytes + start, &header, sizeof header);
    if (length > 0) memcpy(bytes + start + sizeof header, data, static_cast<size_t>(length));
    message->nlmsg_len = start + align4(attr_length);
    return 0;
}

void rtattr_table_by_type(const rtattr **table, int max, const rtattr *first, int length) {
    for (int i = 0; i <= max; ++i)
        table[i] = nullptr;
    const auto *at = reinterpret_cast<const unsigned char *>(first);
    int remaining = length;
    uint16_t stopped_length = 0;
    while (remaining >= static_cast<int>(sizeof(rtattr))) {
        const auto *attr = reinterpret_cast<const rtattr *>(at);
        stopped_length = attr->rta_len;
        if (attr->rta_len < sizeof(rtattr) || attr->rta_len > remaining) break;
        if (attr->rta_type <= max) table[attr->rta_type] = attr;
        const int step = static_cast<int>(align4(attr->rta_len));
        // The last attribute's padding may be missing: it ends the run.
        remaining = step > remaining ? 0 : remaining - step;
        at += step;
    }
    if (remaining > 0) {
        // Fewer than 4 bytes left: read only the length field that is there.
        if (remaining < static_cast<int>(sizeof(rtattr))) {
            stopped_length = 0;
            if (remaining >= static_cast<int>(sizeof(uint16_t)))
                memcpy(&stopped_length, at, sizeof stopped_length);
        }
        kxnet_log("!!!Deficit %d, rta_len=%d", remaining, static_cast<int>(stopped_length));
    }
}

} // namespace kx
