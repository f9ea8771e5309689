// Turns one link message, with the addresses dumped alongside it, into an
// interface description: four lines for the container collector, or keyed
// updates of the host's record.
#include "netinfo/link_dump.h"

#include "rtnl/rtnl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <linux/if.h>
#include <linux/if_arp.h>

namespace kx {

static_assert(RTM_NEWLINK == 16 && RTM_NEWADDR == 20);
static_assert(sizeof(ifinfomsg) == 16 && sizeof(ifaddrmsg) == 8);
static_assert(IFLA_ADDRESS == 1 && IFLA_IFNAME == 3 && IFA_ADDRESS == 1 && IFA_LOCAL == 2);
static_assert(ARPHRD_NETROM == 0 && ARPHRD_ETHER == 1 && ARPHRD_EETHER == 2 &&
              ARPHRD_IEEE802 == 6 && ARPHRD_PPP == 512 && ARPHRD_LOOPBACK == 772);
static_assert(IFF_UP == 0x1);

namespace {

constexpr int link_attr_max = 32;
constexpr int addr_attr_max = 7;
constexpr uint32_t link_message_min = NLMSG_LENGTH(sizeof(ifinfomsg));
constexpr uint32_t addr_message_min = NLMSG_LENGTH(sizeof(ifaddrmsg));

void append_capped(std::string *text, const char *piece) {
    if (text == nullptr || text->size() >= link_addrs_max) return;
    text->append(piece, strnlen(piece, link_addrs_max - text->size()));
}

void emit(FILE *stream, std::string *text, const char *piece) {
    if (stream != nullptr) fputs(piece, stream);
    append_capped(text, piece);
}

std::size_t payload(const rtattr *attr) { return RTA_PAYLOAD(attr); }

// Link types whose address attribute is a usable hardware address.
bool has_hardware_address(unsigned short type) {
    switch (type) {
    case ARPHRD_NETROM:
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
    case ARPHRD_IEEE802:
    case ARPHRD_PPP: return true;
    default: return false;
    }
}

// The name attribute, at most 15 characters, whether or not it ends in a zero.
void copy_name(char (&name)[IFNAMSIZ], const rtattr *attr) {
    const auto *text = static_cast<const char *>(RTA_DATA(attr));
    memcpy(name, text, strnlen(text, std::min(payload(attr), sizeof name - 1)));
}

// `value` in decimal at `out`, ended by a zero; returns the end.
char *decimal_text(unsigned value, char *out) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = digits[--count];
    *out = '\0';
    return out;
}

// The address text of `family`, as inet_ntop writes it; IPv4 (every host
// address of a large host) without the formatted-output machinery.
bool address_text(int family, const unsigned char *bytes, char (&out)[256]) {
    if (family != AF_INET) return inet_ntop(family, bytes, out, sizeof out) != nullptr;
    char *at = out;
    for (int i = 0; i < 4; ++i) {
        if (i != 0) *at++ = '.';
        at = decimal_text(bytes[i], at);
    }
    return true;
}

// Whether the walk uses `message` for the link `index`; false also for the
// messages it skips.
bool addr_of_link(const nlmsghdr *message, int index) {
    const auto *addr = static_cast<const ifaddrmsg *>(NLMSG_DATA(message));
    return static_cast<int>(addr->ifa_index) == index &&
           (addr->ifa_family == AF_INET || addr->ifa_family == AF_INET6);
}

// Calls `use` with every address message of both queues in queue order; a
// message too short for an address header ends the whole walk.
template <class Use>
void walk_addrs(const reply_queue &ipv4, const reply_queue &ipv6, Use &&use) {
    for (const reply_queue *queue : {&ipv4, &ipv6}) {
        for (const nlmsghdr *message : queue->messages()) {
            if (message->nlmsg_type != RTM_NEWADDR) continue;
            if (message->nlmsg_len < addr_message_min) return;
            use(message);
        }
    }
}

void emit_addr(bool &first, const nlmsghdr *message, FILE *stream, std::string *text) {
    if (!first) emit(stream, text, " ");
    first = false;
    format_addr_msg(message, stream, text);
}

// The link's addresses from both queues, space separated, in queue order.
void describe_addrs(int index, const addr_queues &queues, FILE *stream, std::string *text) {
    bool first = true;
    if (queues.index != nullptr) {
        const auto &by_link = queues.index->by_link;
        auto at = std::lower_bound(by_link.begin(), by_link.end(), index,
                                   [](const auto &entry, int wanted) { return entry.first < wanted; });
        for (; at != by_link.end() && at->first == index; ++at) emit_addr(first, at->second, stream, text);
        return;
    }
    walk_addrs(queues.ipv4, queues.ipv6, [&](const nlmsghdr *message) {
        if (addr_of_link(message, index)) emit_addr(first, message, stream, text);
    });
}

} // namespace

addr_index index_addrs(const reply_queue &ipv4, const reply_queue &ipv6) {
    addr_index index;
    walk_addrs(ipv4, ipv6, [&](const nlmsghdr *message) {
        const int link = static_cast<int>(static_cast<const ifaddrmsg *>(NLMSG_DATA(message))->ifa_index);
        if (addr_of_link(message, link)) index.by_link.emplace_back(link, message);
    });
    // Stable, so each link's addresses keep the order the walk met them in.
    std::stable_sort(index.by_link.begin(), index.by_link.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return index;
}

const link_report_sink &store_link_sink() {
    static const link_report_sink sink{[](const link_view &link) { report_link(0, link); }};
    return sink;
}

void hwaddr_text(const unsigned char *bytes, std::size_t length, char (&out)[link_hwaddr_max + 1]) {
    constexpr char hex[] = "0123456789abcdef";
    std::size_t used = 0;
    auto put = [&](char c) {
        if (used < link_hwaddr_max) out[used++] = c;
    };
    for (std::size_t i = 0; i < length && used < link_hwaddr_max; ++i) {
        if (i != 0) put(':');
        put(hex[bytes[i] >> 4]);
        put(hex[bytes[i] & 0xf]);
    }
    out[used] = '\0';
}

std::string hwaddr_text(const unsigned char *bytes, std::size_t length) {
    char text[link_hwaddr_max + 1];
    hwaddr_text(bytes, length, text);
    return text;
}

void format_addr_msg(const nlmsghdr *message, FILE *stream, std::string *text) {
    if (message->nlmsg_len < addr_message_min) return;
    const auto *addr = static_cast<const ifaddrmsg *>(NLMSG_DATA(message));
    const rtattr *table[addr_attr_max + 1];
    rtattr_table_by_type(table, addr_attr_max, first_rtattr(message, sizeof(ifaddrmsg)),
                         rtattr_run_length(message, sizeof(ifaddrmsg)));
    const rtattr *local = table[IFA_LOCAL] != nullptr ? table[IFA_LOCAL] : table[IFA_ADDRESS];
    const rtattr *address = table[IFA_ADDRESS] != nullptr ? table[IFA_ADDRESS] : local;
    if (local == nullptr) return;

    // The payloads must hold a whole address of the family before reading.
    const std::size_t size = addr->ifa_family == AF_INET6 ? 16 : 4;
    if (payload(local) < size || payload(address) < 4) return;
    char buffer[256];
    if (!address_text(addr->ifa_family, static_cast<const unsigned char *>(RTA_DATA(local)), buffer)) return;
    emit(stream, text, buffer);

    if (memcmp(RTA_DATA(address), RTA_DATA(local), 4) != 0) return; // point-to-point peer
    buffer[0] = '/';
    decimal_text(addr->ifa_prefixlen, buffer + 1);
    emit(stream, text, buffer);
}

bool link_msg_named(const nlmsghdr *message, const char *name) {
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < link_message_min) return false;
    const rtattr *table[link_attr_max + 1];
    rtattr_table_by_type(table, link_attr_max, first_rtattr(message, sizeof(ifinfomsg)),
                         rtattr_run_length(message, sizeof(ifinfomsg)));
    if (table[IFLA_IFNAME] == nullptr) return false;
    char own[IFNAMSIZ] = {};
    copy_name(own, table[IFLA_IFNAME]);
    return strcmp(own, name) == 0;
}

void handle_link_msg(const nlmsghdr *message, const addr_queues &queues, FILE *stream,
                     const link_report_sink &sink) {
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < link_message_min) return;
    const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
    if (link->ifi_type == ARPHRD_LOOPBACK) return;
    const rtattr *table[link_attr_max + 1];
    rtattr_table_by_type(table, link_attr_max, first_rtattr(message, sizeof(ifinfomsg)),
                         rtattr_run_length(message, sizeof(ifinfomsg)));
    if (table[IFLA_IFNAME] == nullptr) return;

    char name[IFNAMSIZ] = {};
    copy_name(name, table[IFLA_IFNAME]);

    // Kept between links, so describing a link allocates no text of its own.
    static thread_local std::string addrs;
    addrs.clear();
    if (stream != nullptr) {
        fprintf(stream, "%s\n", name);
        describe_addrs(link->ifi_index, queues, stream, nullptr);
        fputs("\n", stream);
    } else {
        describe_addrs(link->ifi_index, queues, nullptr, &addrs);
    }

    char hwaddr[link_hwaddr_max + 1] = "";
    const rtattr *hw = table[IFLA_ADDRESS];
    if (hw != nullptr && has_hardware_address(link->ifi_type))
        hwaddr_text(static_cast<const unsigned char *>(RTA_DATA(hw)), payload(hw), hwaddr);

    if (stream != nullptr) {
        fprintf(stream, "%s\n%u\n", hwaddr, link->ifi_flags);
        fflush(stream);
        return;
    }
    sink.report(link_view{name, addrs, hwaddr, link->ifi_flags});
}

} // namespace kx
