// Copies of the library's records: lists are walked through their links
// and information records through their masks, then handed back with the
// matching release call before the copies are used.
#include "api.h"

#include "kxnet_ct.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <memory>

namespace kxnetctl {

namespace {

std::vector<std::string> iface_names(const kxnet_link &head) {
    std::vector<std::string> names;
    for (const kxnet_link *l = head.next; l != &head; l = l->next)
        names.emplace_back(reinterpret_cast<const kxnet_iface *>(l)->name);
    return names;
}

std::string fixed(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

std::optional<std::string> text(const char *value) {
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::vector<std::string>> text_list(char **list) {
    if (list == nullptr) return std::nullopt;
    std::vector<std::string> items;
    for (char **item = list; *item != nullptr; ++item) items.emplace_back(*item);
    return items;
}

iface_record copy_record(const kxnetif_info &r) {
    iface_record out;
    out.mask = r.mask;
    out.type = r.type;
    out.ctid = r.ctid;
    out.name = r.name != nullptr ? r.name : "";
    out.alt_name = r.alt_name != nullptr ? r.alt_name : out.name;
    out.bridge = text(r.bridge);
    out.network_id = text(r.network_id);
    out.addrs = text_list(r.addrs);
    out.conf_addrs = text_list(r.conf_addrs);
    out.hwaddr = text(r.hwaddr);
    out.state = r.state;
    out.flags = r.flags;
    if (r.type == KXNETIF_VLAN) {
        if (r.mask & KXNETIF_F_VLAN_DEV) out.vlan_dev = text(r.vlan_dev);
        if (r.mask & KXNETIF_F_VLAN_ID) out.vlan_id = r.vlan_id;
    } else if (r.type == KXNETIF_VETH) {
        if (r.mask & (KXNETIF_F_PEER_CTID | KXNETIF_F_PEER_CTID2)) out.peer_ctid = r.peer_ctid;
        if (r.mask & KXNETIF_F_PEER_NAME) out.peer_name = text(r.peer_name);
    }
    return out;
}

struct filter_release {
    void operator()(kxnet_filter *f) const noexcept { kxnet_release_filter(f); }
};
struct info_release {
    void operator()(kxnetif_info_list *l) const noexcept { kxnet_release_info(l); }
};
struct networks_release {
    void operator()(kxnet_network_list *l) const noexcept {
        kxnet_free_networks(l);
        std::free(l);
    }
};

} // namespace

std::optional<std::vector<network_record>> configured_networks() {
    std::unique_ptr<kxnet_network_list, networks_release> list(kxnet_get_configured_networks());
    if (!list) return std::nullopt;
    std::vector<network_record> networks;
    for (const kxnet_link *l = list->link.next; l != &list->link; l = l->next) {
        const auto *n = reinterpret_cast<const kxnet_network *>(l);
        networks.push_back({n->network_id != nullptr ? n->network_id : "", fixed(n->bridge, sizeof n->bridge),
                            fixed(n->phys_iface, sizeof n->phys_iface), iface_names(n->ifaces),
                            n->preexisting != 0});
    }
    return networks;
}

std::optional<std::vector<iface_record>> query_info(uint32_t flags, const selection &what) {
    auto c_str = [](const std::optional<std::string> &s) { return s ? s->c_str() : nullptr; };
    std::unique_ptr<kxnet_filter, filter_release> filter(
        kxnet_get_simple_filter(what.type_mask, c_str(what.bridge), c_str(what.network_id), c_str(what.name),
                                what.ctid_min, what.ctid_max));
    if (!filter) return std::nullopt;
    std::unique_ptr<kxnetif_info_list, info_release> list(kxnet_get_info(flags, filter.get()));
    if (!list) return std::nullopt;
    std::vector<iface_record> records;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item) records.push_back(copy_record(**item));
    std::sort(records.begin(), records.end(), [](const iface_record &a, const iface_record &b) {
        return a.ctid != b.ctid ? a.ctid < b.ctid : a.name < b.name;
    });
    return records;
}

std::optional<std::string> bridge_of(const std::string &network_id) {
    // The lookup consults the registry as this process holds it in memory;
    // a fresh process holds none until something loads it, so load it.
    std::unique_ptr<kxnet_network_list, networks_release> loaded(kxnet_get_configured_networks());
    std::unique_ptr<char, decltype(&std::free)> name(kxnet_get_bridge_by_networkid(network_id.c_str()), std::free);
    if (!name) return std::nullopt;
    return std::string(name.get());
}

namespace {
constexpr struct {
    int value;
    const char *name;
} kinds[] = {{KXNETIF_UNKNOWN, "unknown"}, {KXNETIF_ETH, "eth"},   {KXNETIF_BRIDGE, "bridge"},
             {KXNETIF_VLAN, "vlan"},       {KXNETIF_VETH, "veth"}, {KXNETIF_VNIC, "vnic"}};
}

const char *kind_name(int type) {
    for (const auto &k : kinds)
        if (k.value == type) return k.name;
    return "unknown";
}

int kind_value(const std::string &name) {
    if (name == "all") return KXNETIF_ALL;
    for (const auto &k : kinds)
        if (name == k.name) return k.value;
    return 0;
}

} // namespace kxnetctl
