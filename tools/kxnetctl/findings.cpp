// Drift between the registry and the kernel.  Every registered network's
// bridge exists and is up and holds its registered interfaces; every
// registered VLAN has its device; bridges (SuSE layout) and VLANs have their
// ifcfg files; configured addresses are on their devices; the host ends of
// running containers' pair devices configured for a network are ports of its
// bridge.  Each finding carries the mend check --repair applies.
#include "findings.h"

#include "kernel.h"
#include "kxctl.h"
#include "kxnet_ct.h"
#include "orphans.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace kxnetctl {

namespace {

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

std::string of_network(const network_record &n) { return " of network " + in_quotes(n.network_id); }

void check_port(std::vector<finding> &found, const network_record &n, const std::string &port,
                const std::string &label) {
    const std::string who = "network " + in_quotes(n.network_id) + ": " + label + " " + port;
    if (!device_exists(port)) {
        found.push_back({"port-missing", port, who + " does not exist", label + " " + port + of_network(n) + " was missing",
                         n.network_id, "", mend::none,
                         "bring the device " + port + " back, then run kxnetctl check --repair"});
        return;
    }
    std::string bridge = bridge_of_port(port);
    if (bridge == n.bridge) return;
    found.push_back({"port-detached", port,
                     who + " is not a port of " + n.bridge + (bridge.empty() ? "" : " (it is a port of " + bridge + ")"),
                     label + " " + port + of_network(n) + " was out of bridge " + n.bridge, n.network_id, "",
                     mend::restore,
                     bridge.empty() ? "" : "take it out of " + bridge + " (ip link set " + port + " nomaster), then repair"});
}

// With Open vSwitch a physical interface D stays in its switch bridge br-D,
// and the pair veth-D.0 (a port of br-D) and veth-D.1 (a port of the
// network's bridge) joins it to the network.  Its mend is a host start.
void check_physical(std::vector<finding> &found, const network_record &n) {
    const std::string &port = n.phys_iface;
    const std::string switch_bridge = "br-" + port;
    if (!device_exists(port) || bridge_of_port(port) != switch_bridge) {
        check_port(found, n, port, "physical interface");
        return;
    }
    const std::string outer = "veth-" + port + ".0", inner = "veth-" + port + ".1";
    if (bridge_of_port(outer) == switch_bridge && bridge_of_port(inner) == n.bridge) return;
    found.push_back({"port-detached", port,
                     "network " + in_quotes(n.network_id) + ": physical interface " + port + " in " + switch_bridge +
                         " is not linked to " + n.bridge + " (" + outer + " in " + switch_bridge + ", " + inner + " in " +
                         n.bridge + ")",
                     "physical interface " + port + of_network(n) + " was not linked to bridge " + n.bridge, n.network_id,
                     "", mend::restore, ""});
}

// A bridge's ifcfg file (SuSE layout) is written again in place.
void check_bridge_file(std::vector<finding> &found, const network_record &n) {
    if (!suse_layout() || n.preexisting || file_exists(ifcfg_path(n.bridge))) return;
    found.push_back({"ifcfg-missing", n.bridge,
                     "network " + in_quotes(n.network_id) + ": bridge " + n.bridge + " has no ifcfg file " + ifcfg_path(n.bridge),
                     "bridge " + n.bridge + of_network(n) + " had no ifcfg file", n.network_id, "",
                     mend::rewrite, ""});
}

void check_networks(std::vector<finding> &found, const std::vector<network_record> &networks) {
    for (const auto &n : networks) {
        const std::string who = "network " + in_quotes(n.network_id) + ": ";
        if (!device_exists(n.bridge)) {
            found.push_back({"bridge-missing", n.bridge, who + "bridge " + n.bridge + " does not exist",
                             "bridge " + n.bridge + of_network(n) + " was missing", n.network_id, "", mend::restore, ""});
            check_bridge_file(found, n);
            continue;
        }
        if (!device_up(n.bridge))
            found.push_back({"bridge-down", n.bridge, who + "bridge " + n.bridge + " is down",
                             "bridge " + n.bridge + of_network(n) + " was down", n.network_id, "", mend::restore, ""});
        if (!n.phys_iface.empty()) check_physical(found, n);
        for (const auto &i : n.ifaces) check_port(found, n, i, "interface");
        check_bridge_file(found, n);
    }
}

void check_vlans(std::vector<finding> &found, tally &counted) {
    const auto registered = registered_vlans();
    // The kernel's VLANs cost a run of ip: asked for only when some are registered.
    if (registered.empty()) return;
    const auto kernel = kernel_vlans();
    for (const auto &v : registered) {
        ++counted.vlans;
        const std::string who = "VLAN " + std::to_string(v.id) + " over " + v.parent;
        const vlan_device *device = nullptr;
        for (const auto &k : kernel)
            if (k.parent == v.parent && k.id == v.id) device = &k;
        if (device == nullptr) {
            found.push_back({"vlan-missing", v.parent + "." + std::to_string(v.id), who + " is registered but has no device",
                             who + " had no device", "", "", mend::restore, ""});
            continue;
        }
        if (file_exists(ifcfg_path(device->name))) continue;
        found.push_back({"ifcfg-missing", device->name,
                         who + " (" + device->name + ") has no ifcfg file " + ifcfg_path(device->name),
                         who + " (" + device->name + ") had no ifcfg file", "", "", mend::rewrite, ""});
    }
}

void check_addresses(std::vector<finding> &found, const std::vector<iface_record> &host, tally &counted) {
    for (const auto &r : host) {
        if (!r.conf_addrs) continue;
        for (const auto &wanted : *r.conf_addrs) {
            if (wanted == "dhcp") continue;
            ++counted.addresses;
            bool present = false;
            if (r.addrs)
                for (const auto &a : *r.addrs) present = present || address_with_prefix(a) == address_with_prefix(wanted);
            if (present) continue;
            const bool exists = device_exists(r.name);
            found.push_back({"address-missing", r.name,
                             "address " + wanted + " is configured on " + r.name +
                                 (exists ? " but the device does not have it" : " but the device does not exist"),
                             "address " + wanted + " was missing from " + r.name, "", wanted,
                             exists ? mend::address : mend::none,
                             exists ? "" : "bring the device " + r.name + " back, then run kxnetctl check --repair"});
        }
    }
}

struct ids_release {
    void operator()(kxctl_env_ids *ids) const noexcept { kxctl_free_env_ids(ids); }
};
struct conf_release {
    void operator()(kxctl_conf *conf) const noexcept { kxctl_conf_close(conf); }
};
struct param_release {
    void operator()(kxctl_env_param *param) const noexcept { kxctl_free_env_param(param); }
};

void check_container(std::vector<finding> &found, uint32_t ctid, const std::vector<network_record> &networks,
                     tally &counted) {
    char path[4096] = {};
    if (kxctl_get_env_conf_path(ctid, path, sizeof path) != 0) return;
    std::unique_ptr<kxctl_conf, conf_release> conf(kxctl_conf_open(path, KXCTL_CONF_READ));
    if (!conf || kxctl_conf_parse(ctid, conf.get()) != 0) return;
    std::unique_ptr<kxctl_env_param, param_release> param(kxctl_conf_get_env_param(conf.get()));
    if (!param || param->veth_list == nullptr) return;
    for (kxctl_link *l = param->veth_list->next; l != param->veth_list; l = l->next) {
        const auto *veth = reinterpret_cast<const kxctl_veth *>(l);
        if (veth->network == nullptr) continue;
        const network_record *network = nullptr;
        for (const auto &n : networks)
            if (n.network_id == veth->network) network = &n;
        if (network == nullptr) continue;
        ++counted.pairs;
        std::string dev(veth->dev_name, strnlen(veth->dev_name, sizeof veth->dev_name));
        const std::string ct = "container " + std::to_string(ctid) + ": " + dev;
        const std::string who = ct + " (network " + in_quotes(network->network_id) + ")";
        if (!device_exists(dev)) {
            found.push_back({"pair-missing", dev, who + " does not exist", ct + " was missing", network->network_id, "",
                             mend::none, "restart container " + std::to_string(ctid)});
            continue;
        }
        std::string bridge = bridge_of_port(dev);
        if (bridge == network->bridge) continue;
        found.push_back({"pair-detached", dev,
                         who + " is not a port of " + network->bridge + (bridge.empty() ? "" : " (it is a port of " + bridge + ")"),
                         ct + " was out of bridge " + network->bridge + of_network(*network), network->network_id, "",
                         mend::attach, ""});
    }
}

void check_containers(std::vector<finding> &found, const std::vector<network_record> &networks, tally &counted) {
    kxctl_open();
    std::unique_ptr<kxctl_env_ids, ids_release> ids(kxctl_alloc_env_ids());
    if (!ids) return;
    int count = kxctl_get_env_ids_by_state(ids.get(), KXCTL_ENV_RUNNING);
    for (int i = 0; i < count; ++i)
        if (ids->ids[i] != 0) check_container(found, ids->ids[i], networks, counted);
}

} // namespace

host_look look_at_host() {
    host_look look;
    auto networks = configured_networks();
    if (!networks) {
        look.failure = "cannot read the registered networks (lock or registry failure)";
        return look;
    }
    auto host = query_info(KXNET_INFO_CONFIG | KXNET_INFO_IPV4, selection{});
    if (!host) {
        look.failure = "the information query answered nothing";
        return look;
    }
    look.counted.networks = static_cast<int>(networks->size());
    check_networks(look.found, *networks);
    check_vlans(look.found, look.counted);
    check_addresses(look.found, *host, look.counted);
    check_containers(look.found, *networks, look.counted);
    for (auto &orphan : find_orphans()) look.found.push_back(std::move(orphan));
    return look;
}

} // namespace kxnetctl
