// Classifies each dumped link by its kind (IFLA_INFO_KIND) for the bridge
// scan, and notes its master (IFLA_MASTER) for the ports of its bridges.
// Only kinds whose drivers have no private device requests at all, and IP
// tunnels, count as settled non-bridges: a device without a kind (a
// physical NIC) or of another kind may answer the legacy bridge request
// through a driver of its own, so it is still asked.
#include "netinfo/link_facts.h"

#include "rtnl/rtnl.h"
#include "sys/dir_listing.h"

#include <algorithm>
#include <cstring>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <string_view>

namespace kx {

static_assert(IFLA_LINKINFO == 18 && IFLA_INFO_KIND == 1 && IFLA_IFNAME == 3 && IFLA_MASTER == 10);

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

// The last attribute of `type` in a run, without the table's report of a
// malformed run: the description of the same message makes that report once.
const rtattr *last_attr(const rtattr *first, std::size_t length, unsigned short type) {
    const rtattr *found = nullptr;
    rtattr_walk(first, length, [&](const rtattr *attr) {
        if (attr->rta_type == type) found = attr;
    });
    return found;
}

bridge_answer answer_for_link(const rtattr *linkinfo) {
    if (linkinfo == nullptr) return bridge_answer::ask;
    const rtattr *kind = last_attr(static_cast<const rtattr *>(RTA_DATA(linkinfo)),
                                   RTA_PAYLOAD(linkinfo), IFLA_INFO_KIND);
    return kind != nullptr ? answer_for_kind(attr_text(kind)) : bridge_answer::ask;
}

} // namespace

void link_facts::note(const nlmsghdr *message) {
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const rtattr *first = first_rtattr(message, sizeof(ifinfomsg));
    const std::size_t length = rtattr_run_length(message, sizeof(ifinfomsg));
    const rtattr *name_attr = last_attr(first, length, IFLA_IFNAME);
    if (name_attr == nullptr) return;
    std::string_view name = attr_text(name_attr);
    entry e{};
    memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name - 1));
    e.answer = answer_for_link(last_attr(first, length, IFLA_LINKINFO));
    e.index = static_cast<const ifinfomsg *>(NLMSG_DATA(message))->ifi_index;
    if (const rtattr *master = last_attr(first, length, IFLA_MASTER); master != nullptr && RTA_PAYLOAD(master) >= 4)
        memcpy(&e.master, RTA_DATA(master), sizeof e.master);
    entries.push_back(e);
}

std::string_view link_facts::entry_name::operator()(const entry &link) const noexcept {
    return std::string_view(link.name, strnlen(link.name, sizeof link.name));
}

void link_facts::finish() {
    by_name.clear();
    by_name.reserve(entries.size());
    by_master.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        by_name.insert(&entries[i], false);
        if (entries[i].master != 0) by_master.emplace_back(entries[i].master, static_cast<uint32_t>(i));
    }
    std::sort(by_master.begin(), by_master.end());
    filled = true;
}

const link_facts::entry *link_facts::find(const char *name) const {
    if (!filled || name == nullptr) return nullptr;
    return by_name.find(std::string_view(name, strnlen(name, IFNAMSIZ)));
}

bridge_answer link_facts::bridge_answer_for(const char *name) const {
    const entry *found = find(name);
    return found != nullptr ? found->answer : bridge_answer::ask;
}

std::optional<std::vector<std::string>> link_facts::ports_of(const char *bridge) const {
    const entry *found = whole ? find(bridge) : nullptr;
    if (found == nullptr || found->answer != bridge_answer::bridge || found->index == 0) return std::nullopt;
    std::vector<std::string> ports;
    auto at = std::lower_bound(by_master.begin(), by_master.end(), std::pair<int32_t, uint32_t>(found->index, 0));
    for (; at != by_master.end() && at->first == found->index; ++at) ports.emplace_back(entries[at->second].name);
    std::sort(ports.begin(), ports.end(), alphasort_before);
    return ports;
}

} // namespace kx
