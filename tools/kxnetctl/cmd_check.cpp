// check: the registry against the kernel.  Every registered network's bridge
// exists and is up and holds its registered interfaces; every registered
// VLAN has its device with the right parent and id; bridges (SuSE layout)
// and VLANs have their ifcfg files; configured addresses are on their
// devices; and the host ends of running containers' pair devices configured
// for a network are ports of its bridge.  One line per finding.
#include "commands.h"

#include "kernel.h"
#include "kxctl.h"
#include "kxnet_ct.h"
#include "outcome.h"

#include <climits>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

namespace kxnetctl {

namespace {

struct finding {
    std::string kind;
    std::string subject;
    std::string message;
};

struct tally {
    int networks = 0, vlans = 0, addresses = 0, pairs = 0;
};

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

bool file_exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

void check_port(std::vector<finding> &found, const network_record &n, const std::string &port,
                const std::string &label) {
    if (!device_exists(port)) {
        found.push_back({"port-missing", port, "network " + in_quotes(n.network_id) + ": " + label + " " + port + " does not exist"});
        return;
    }
    std::string bridge = bridge_of_port(port);
    if (bridge != n.bridge)
        found.push_back({"port-detached", port,
                         "network " + in_quotes(n.network_id) + ": " + label + " " + port + " is not a port of " + n.bridge +
                             (bridge.empty() ? "" : " (it is a port of " + bridge + ")")});
}

// With Open vSwitch a physical interface D stays in its switch bridge br-D,
// which the pair veth-D.0 (a port of br-D) and veth-D.1 (a port of the
// network's bridge) joins to the network.
void check_physical(std::vector<finding> &found, const network_record &n) {
    const std::string &port = n.phys_iface;
    const std::string switch_bridge = "br-" + port;
    if (!device_exists(port) || bridge_of_port(port) != switch_bridge) {
        check_port(found, n, port, "physical interface");
        return;
    }
    const std::string outer = "veth-" + port + ".0", inner = "veth-" + port + ".1";
    if (bridge_of_port(outer) != switch_bridge || bridge_of_port(inner) != n.bridge)
        found.push_back({"port-detached", port,
                         "network " + in_quotes(n.network_id) + ": physical interface " + port + " in " + switch_bridge +
                             " is not linked to " + n.bridge + " (" + outer + " in " + switch_bridge + ", " + inner +
                             " in " + n.bridge + ")"});
}

void check_networks(std::vector<finding> &found, const std::vector<network_record> &networks) {
    for (const auto &n : networks) {
        const std::string who = "network " + in_quotes(n.network_id) + ": ";
        if (!device_exists(n.bridge)) {
            found.push_back({"bridge-missing", n.bridge, who + "bridge " + n.bridge + " does not exist"});
            continue;
        }
        if (!device_up(n.bridge)) found.push_back({"bridge-down", n.bridge, who + "bridge " + n.bridge + " is down"});
        if (!n.phys_iface.empty()) check_physical(found, n);
        for (const auto &i : n.ifaces) check_port(found, n, i, "interface");
        if (suse_layout() && !n.preexisting && !file_exists(ifcfg_path(n.bridge)))
            found.push_back({"ifcfg-missing", n.bridge, who + "bridge " + n.bridge + " has no ifcfg file " + ifcfg_path(n.bridge)});
    }
}

void check_vlans(std::vector<finding> &found, tally &counted) {
    auto kernel = kernel_vlans();
    for (const auto &v : registered_vlans()) {
        ++counted.vlans;
        const std::string who = "VLAN " + std::to_string(v.id) + " over " + v.parent;
        const vlan_device *device = nullptr;
        for (const auto &k : kernel)
            if (k.parent == v.parent && k.id == v.id) device = &k;
        if (device == nullptr) {
            found.push_back({"vlan-missing", v.parent + "." + std::to_string(v.id), who + " is registered but has no device"});
            continue;
        }
        if (!file_exists(ifcfg_path(device->name)))
            found.push_back({"ifcfg-missing", device->name, who + " (" + device->name + ") has no ifcfg file " + ifcfg_path(device->name)});
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
            found.push_back({"address-missing", r.name,
                             "address " + wanted + " is configured on " + r.name +
                                 (device_exists(r.name) ? " but the device does not have it" : " but the device does not exist")});
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
        const std::string who = "container " + std::to_string(ctid) + ": " + dev + " (network " + in_quotes(network->network_id) + ")";
        if (!device_exists(dev)) {
            found.push_back({"pair-missing", dev, who + " does not exist"});
            continue;
        }
        std::string bridge = bridge_of_port(dev);
        if (bridge != network->bridge)
            found.push_back({"pair-detached", dev, who + " is not a port of " + network->bridge +
                                                        (bridge.empty() ? "" : " (it is a port of " + bridge + ")")});
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

void print_findings(const output &out, const std::vector<finding> &found, const tally &counted) {
    if (out.json) {
        nlohmann::json doc = {{"clean", found.empty()},
                              {"checked",
                               {{"networks", counted.networks},
                                {"vlans", counted.vlans},
                                {"addresses", counted.addresses},
                                {"pairs", counted.pairs}}},
                              {"findings", nlohmann::json::array()}};
        for (const auto &f : found)
            doc["findings"].push_back({{"kind", f.kind}, {"subject", f.subject}, {"message", f.message}});
        print_json(doc);
        return;
    }
    for (const auto &f : found) std::printf("%s  %s\n", paint(out, f.kind, tint::bad).c_str(), f.message.c_str());
    if (found.empty())
        std::printf("%s: %d networks, %d VLANs, %d addresses, %d container interfaces match the kernel\n",
                    paint(out, "clean", tint::good).c_str(), counted.networks, counted.vlans, counted.addresses, counted.pairs);
}

} // namespace

int check(const output &out) {
    auto networks = configured_networks();
    if (!networks) return fail_code(KXNET_ERR_SYSTEM, "cannot read the registered networks (lock or registry failure)");
    auto host = query_info(KXNET_INFO_CONFIG | KXNET_INFO_IPV4, selection{});
    if (!host) return fail_code(KXNET_ERR_SYSTEM, "the information query answered nothing");
    std::vector<finding> found;
    tally counted;
    counted.networks = static_cast<int>(networks->size());
    check_networks(found, *networks);
    check_vlans(found, counted);
    check_addresses(found, *host, counted);
    check_containers(found, *networks, counted);
    print_findings(out, found, counted);
    return found.empty() ? status_ok : status_drift;
}

} // namespace kxnetctl
