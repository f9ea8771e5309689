// Classifies each dumped link by its kind (IFLA_INFO_KIND) for the bridge
// scan.  Only kinds whose drivers have no private device requests at all,
// and IP tunnels, count as settled non-bridges: a device without a kind (a
// physical NIC) or of another kind may answer the legacy bridge request
// through a driver of its own, so it is still asked.
#include "netinfo/link_facts.h"

#include <algorithm>
#include <cstring>
#include <endian.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <string_view>
#include <utility>

namespace kx {

static_assert(IFLA_LINKINFO == 18 && IFLA_INFO_KIND == 1 && IFLA_IFNAME == 3);

namespace {

// Drivers with neither bridge attributes nor private device requests, and
// IP tunnels, whose private requests are their own and answer the legacy
// bridge request too.
constexpr std::string_view settled_non_bridges[] = {
    "veth", "vlan", "macvlan", "macvtap", "ipvlan", "ipvtap", "dummy", "ifb", "vxlan", "geneve", "vrf",
    "ipip", "gre", "sit", "ip6tnl", "ip6gre", "vti", "vti6",
};

bridge_answer answer_for_kind(std::string_view kind) {
    if (kind == "bridge") return bridge_answer::bridge;
    for (std::string_view settled : settled_non_bridges)
        if (kind == settled) return bridge_answer::not_bridge;
    return bridge_answer::ask;
}

std::string_view attr_text(const rtattr *attr) {
    const auto *text = static_cast<const char *>(RTA_DATA(attr));
    return std::string_view(text, strnlen(text, RTA_PAYLOAD(attr)));
}

// The last attribute of `type` in a run, walked as the attribute table
// walks it but without its report of a malformed run: the description of
// the same message makes that report once.
const rtattr *last_attr(const rtattr *first, long length, unsigned short type) {
    const rtattr *found = nullptr;
    const auto *at = reinterpret_cast<const unsigned char *>(first);
    while (length >= static_cast<long>(sizeof(rtattr))) {
        const auto *attr = reinterpret_cast<const rtattr *>(at);
        if (attr->rta_len < sizeof(rtattr) || attr->rta_len > length) break;
        if (attr->rta_type == type) found = attr;
        const long step = static_cast<long>(RTA_ALIGN(attr->rta_len));
        length = step > length ? 0 : length - step;
        at += step;
    }
    return found;
}

bridge_answer answer_for_link(const rtattr *linkinfo) {
    if (linkinfo == nullptr) return bridge_answer::ask;
    const rtattr *kind = last_attr(static_cast<const rtattr *>(RTA_DATA(linkinfo)),
                                   static_cast<long>(RTA_PAYLOAD(linkinfo)), IFLA_INFO_KIND);
    return kind != nullptr ? answer_for_kind(attr_text(kind)) : bridge_answer::ask;
}

// Names are zero-padded to their full width, so their two halves compared
// as big-endian numbers order them as strcmp does, without a call per pair.
static_assert(IFNAMSIZ == 16);
std::pair<uint64_t, uint64_t> name_key(const char (&name)[IFNAMSIZ]) {
    uint64_t high = 0, low = 0;
    memcpy(&high, name, 8);
    memcpy(&low, name + 8, 8);
    return {be64toh(high), be64toh(low)};
}

bool by_name(const link_facts::entry &a, const link_facts::entry &b) { return name_key(a.name) < name_key(b.name); }

} // namespace

void link_facts::note(const nlmsghdr *message) {
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto *first = reinterpret_cast<const rtattr *>(static_cast<const char *>(NLMSG_DATA(message)) +
                                                         NLMSG_ALIGN(sizeof(ifinfomsg)));
    const long length = static_cast<long>(message->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg)));
    const rtattr *name_attr = last_attr(first, length, IFLA_IFNAME);
    if (name_attr == nullptr) return;
    std::string_view name = attr_text(name_attr);
    entry e{};
    memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name - 1));
    e.answer = answer_for_link(last_attr(first, length, IFLA_LINKINFO));
    entries.push_back(e);
}

void link_facts::finish() {
    std::sort(entries.begin(), entries.end(), by_name);
    filled = true;
}

bridge_answer link_facts::bridge_answer_for(const char *name) const {
    if (!filled || name == nullptr) return bridge_answer::ask;
    entry key{};
    std::strncpy(key.name, name, sizeof key.name - 1);
    if (std::strlen(name) >= sizeof key.name) return bridge_answer::ask; // not a device name the dump gives
    auto found = std::lower_bound(entries.begin(), entries.end(), key, by_name);
    if (found == entries.end() || std::strcmp(found->name, key.name) != 0) return bridge_answer::ask;
    return found->answer;
}

} // namespace kx
