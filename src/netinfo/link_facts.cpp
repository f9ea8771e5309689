// Classifies each dumped link by its kind (IFLA_INFO_KIND) for the bridge
// scan.  Only kinds whose drivers have no private device requests at all
// count as settled non-bridges: a device without a kind (a physical NIC) or
// of another kind may answer the legacy bridge request through a driver of
// its own, so it is still asked.
#include "netinfo/link_facts.h"

#include "rtnl/rtnl.h"

#include <algorithm>
#include <cstring>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <string_view>

namespace kx {

static_assert(IFLA_LINKINFO == 18 && IFLA_INFO_KIND == 1 && IFLA_IFNAME == 3);

namespace {

constexpr int link_attr_max = 32;

// Drivers with neither bridge attributes nor private device requests.
constexpr std::string_view settled_non_bridges[] = {
    "veth", "vlan", "macvlan", "macvtap", "ipvlan", "ipvtap", "dummy", "ifb", "vxlan", "geneve", "vrf",
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

bridge_answer answer_for_link(const rtattr *linkinfo) {
    if (linkinfo == nullptr) return bridge_answer::ask;
    const rtattr *info[IFLA_INFO_KIND + 1];
    rtattr_table_by_type(info, IFLA_INFO_KIND, static_cast<const rtattr *>(RTA_DATA(linkinfo)),
                         static_cast<int>(RTA_PAYLOAD(linkinfo)));
    if (info[IFLA_INFO_KIND] == nullptr) return bridge_answer::ask;
    return answer_for_kind(attr_text(info[IFLA_INFO_KIND]));
}

bool by_name(const link_facts::entry &a, const link_facts::entry &b) { return std::strcmp(a.name, b.name) < 0; }

} // namespace

void link_facts::note(const nlmsghdr *message) {
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto *first = reinterpret_cast<const rtattr *>(static_cast<const char *>(NLMSG_DATA(message)) +
                                                         NLMSG_ALIGN(sizeof(ifinfomsg)));
    const rtattr *table[link_attr_max + 1];
    rtattr_table_by_type(table, link_attr_max, first,
                         static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg))));
    if (table[IFLA_IFNAME] == nullptr) return;
    std::string_view name = attr_text(table[IFLA_IFNAME]);
    entry e{};
    memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name - 1));
    e.answer = answer_for_link(table[IFLA_LINKINFO]);
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
