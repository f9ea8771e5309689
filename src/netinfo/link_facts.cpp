// Classifies each dumped link by its kind (IFLA_INFO_KIND) for the bridge
// scan, and notes its master (IFLA_MASTER) for the ports of its bridges.
// Only kinds whose drivers have no private device requests at all, and IP
// tunnels, count as settled non-bridges: a device without a kind (a
// physical NIC) or of another kind may answer the legacy bridge request
// through a driver of its own, so it is still asked.
#include "netinfo/link_facts.h"

#include "frame/dir_listing.h"

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

// Names are zero-padded to their full width: two words hashed stand for
// the whole name, without a pass over its characters.
static_assert(IFNAMSIZ == 16);
std::size_t name_hash(const char (&name)[IFNAMSIZ]) {
    uint64_t first = 0, second = 0;
    memcpy(&first, name, 8);
    memcpy(&second, name + 8, 8);
    const uint64_t mixed = (first ^ (second * 0x9e3779b97f4a7c15ULL)) * 0xff51afd7ed558ccdULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 32));
}

bool same_name(const char (&a)[IFNAMSIZ], const char (&b)[IFNAMSIZ]) { return memcmp(a, b, IFNAMSIZ) == 0; }

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
    e.index = static_cast<const ifinfomsg *>(NLMSG_DATA(message))->ifi_index;
    if (const rtattr *master = last_attr(first, length, IFLA_MASTER); master != nullptr && RTA_PAYLOAD(master) >= 4)
        memcpy(&e.master, RTA_DATA(master), sizeof e.master);
    entries.push_back(e);
}

// Open addressing with linear probing in a table at most half full.
void link_facts::finish() {
    std::size_t size = 16;
    while (size < 2 * entries.size()) size *= 2;
    slots.assign(size, 0);
    by_master.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::size_t at = name_hash(entries[i].name) & (size - 1);
        while (slots[at] != 0 && !same_name(entries[slots[at] - 1].name, entries[i].name)) at = (at + 1) & (size - 1);
        if (slots[at] == 0) slots[at] = static_cast<uint32_t>(i + 1);
        if (entries[i].master != 0) by_master.emplace_back(entries[i].master, static_cast<uint32_t>(i));
    }
    std::sort(by_master.begin(), by_master.end());
    filled = true;
}

const link_facts::entry *link_facts::find(const char *name) const {
    if (!filled || name == nullptr || slots.empty()) return nullptr;
    if (strnlen(name, IFNAMSIZ) >= IFNAMSIZ) return nullptr; // not a device name the dump gives
    char key[IFNAMSIZ] = {};
    memcpy(key, name, strlen(name));
    const std::size_t mask = slots.size() - 1;
    for (std::size_t at = name_hash(key) & mask; slots[at] != 0; at = (at + 1) & mask)
        if (same_name(entries[slots[at] - 1].name, key)) return &entries[slots[at] - 1];
    return nullptr;
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
