// Mending drift.  A host start (kxnet_init_devices) is used only for what no
// narrower export brings back (a bridge missing or down, its interfaces and
// VLAN devices): on a live host it reuses every bridge, leaves every port in
// place and re-adds only what is missing.
#include "mends.h"

#include "kxnet_ct.h"
#include "library_call.h"
#include "orphans.h"
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

void mend_one(const finding &f) {
    switch (f.mend) {
    case mend::attach:
        call("attach " + f.network_id + " " + f.subject, [&] { return kxnet_br_attach_CT(f.network_id.c_str(), f.subject.c_str()); });
        break;
    case mend::address:
        call("addr set " + f.subject + " " + f.address, [&] { return compat_kxnet_addr_set(f.subject.c_str(), f.address.c_str()); });
        break;
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
