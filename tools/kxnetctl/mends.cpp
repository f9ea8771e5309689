// Mending drift.  A host start (kxnet_init_devices) is used only for what no
// narrower export brings back (a bridge missing or down, its interfaces and
// VLAN devices): on a live host it reuses every bridge, leaves every port in
// place and re-adds only what is missing.
#include "mends.h"

#include "kxnet_ct.h"
#include "library_call.h"
#include "orphans.h"
#include "kernel.h"
#include "outcome.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kxnetctl {

namespace {

bool any_of_mend(const std::vector<finding> &found, enum mend wanted) {
    return std::any_of(found.begin(), found.end(), [&](const finding &f) { return f.mend == wanted; });
}

// Tells a refused call on standard error; the finding stays and says so.
void call(const std::string &what, const std::function<int()> &body) {
    int code = library_call(body);
    if (code == KXNET_OK) return;
    const std::string &said = library_words();
    fail(status_drift, "mend: " + what + ": " + code_words(code) + (said.empty() ? "" : " (" + said + ")"));
}

void recreate_network(const finding &f) {
    auto networks = configured_networks();
    if (!networks) return;
    auto it = std::find_if(networks->begin(), networks->end(), [&](const network_record &n) { return n.network_id == f.network_id; });
    if (it == networks->end()) return;
    const network_record n = *it;
    int deleted = library_call([&] { return kxnet_br_del(n.network_id.c_str()); });
    if (deleted != KXNET_OK) {
        fail(status_drift, "mend: network del " + n.network_id + ": " + code_words(deleted));
        return;
    }
    char bridge[16] = {};
    std::strncpy(bridge, n.bridge.c_str(), sizeof bridge - 1);
    call("network add " + n.network_id + " --bridge " + n.bridge + " (it was removed to be made again: run it by hand)",
         [&] { return kxnet_br_new(n.network_id.c_str(), bridge); });
    if (!n.phys_iface.empty())
        call("attach " + n.network_id + " " + n.phys_iface, [&] { return kxnet_br_attach_CT(n.network_id.c_str(), n.phys_iface.c_str()); });
}

// A VLAN device whose ifcfg file is gone: removed and made again by the
// VLAN exports (the only call that writes the file), then given back the
// network it served and its configured addresses.
void remake_vlan(const finding &f) {
    const auto kernel = kernel_vlans();
    auto device = std::find_if(kernel.begin(), kernel.end(), [&](const vlan_device &v) { return v.name == f.subject; });
    auto networks = configured_networks();
    selection only;
    only.name = f.subject;
    auto host = query_info(KXNET_INFO_CONFIG, only);
    if (device == kernel.end() || !networks || !host) return;
    std::vector<std::string> joined, addresses;
    for (const auto &n : *networks)
        if (n.phys_iface == f.subject || std::find(n.ifaces.begin(), n.ifaces.end(), f.subject) != n.ifaces.end())
            joined.push_back(n.network_id);
    for (const auto &r : *host)
        if (r.ctid == 0 && r.name == f.subject && r.conf_addrs) addresses = *r.conf_addrs;
    const vlan_device vlan = *device;
    int deleted = library_call([&] { return kxnet_vlan_del(vlan.name.c_str()); });
    if (deleted != KXNET_OK) {
        fail(status_drift, "mend: vlan del " + vlan.name + ": " + code_words(deleted));
        return;
    }
    const std::string remade = "vlan add " + vlan.parent + " " + std::to_string(vlan.id) + " (" + vlan.name +
                               " was removed to be made again: run it by hand)";
    char name[16] = {};
    int made = library_call([&] { return kxnet_vlan_new(vlan.parent.c_str(), vlan.id, name, sizeof name); });
    if (made != KXNET_OK) {
        fail(status_drift, "mend: " + remade + ": " + code_words(made));
        return;
    }
    for (const auto &network : joined)
        call("attach " + network + " " + name, [&] { return kxnet_br_attach_CT(network.c_str(), name); });
    for (const auto &address : addresses)
        call("addr set " + std::string(name) + " " + address, [&] { return compat_kxnet_addr_set(name, address.c_str()); });
}

void mend_one(const finding &f) {
    switch (f.mend) {
    case mend::attach:
        call("attach " + f.network_id + " " + f.subject, [&] { return kxnet_br_attach_CT(f.network_id.c_str(), f.subject.c_str()); });
        break;
    case mend::address:
        call("addr set " + f.subject + " " + f.address, [&] { return compat_kxnet_addr_set(f.subject.c_str(), f.address.c_str()); });
        break;
    case mend::remake: remake_vlan(f); break;
    default: break;
    }
}

} // namespace

std::string mend_words(const finding &f) {
    switch (f.mend) {
    case mend::restore: return "host start (kxnet_init_devices)";
    case mend::recreate: return "network del, network add " + f.network_id + " --bridge " + f.subject + ", attach its physical interface";
    case mend::attach: return "attach " + f.network_id + " " + f.subject;
    case mend::address: return "addr set " + f.subject + " " + f.address;
    case mend::remake: return "vlan del " + f.subject + ", vlan add, attach and addr set as registered";
    case mend::prune: return "removed (--prune)";
    case mend::none: break;
    }
    return f.hint;
}

void apply_mends(const std::vector<finding> &found, bool prune) {
    for (const auto &f : found)
        if (f.mend == mend::recreate) recreate_network(f);
    if (any_of_mend(found, mend::restore)) call("host start", [] { return kxnet_init_devices(); });
    // What the steps above brought back may carry the rest already.
    tally counted;
    std::string why;
    auto left = collect_findings(counted, why);
    for (const auto &f : left ? *left : found) mend_one(f);
    if (!prune) return;
    for (const auto &f : found)
        if (f.orphan() && !prune_orphan(f)) fail(status_drift, "mend: " + f.subject + " could not be pruned");
}

} // namespace kxnetctl
