// The information query: rebuilds the store from the registry, the
// containers' and the host's link dumps and the host collectors, then hands
// out the records a filter selects.  Held records stay as they were until
// their lists are released, however many queries run in between.
#include "kxnet_ct.h"

#include "frame/frame.h"
#include "frame/kxctl_owned.h"
#include "frame/state.h"
#include "ifcfg/ifcfg.h"
#include "kxctl.h"
#include "netinfo/container_collector.h"
#include "netinfo/host_collectors.h"
#include "netinfo/link_dump.h"
#include "netinfo/link_facts.h"
#include "netinfo/public_records.h"
#include "netinfo/selection.h"
#include "netinfo/store.h"
#include "registry/registry_file.h"
#include "sys/memory_short.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <optional>
#include <vector>

namespace kx {

namespace {

// A range wider than this many ids collects the running containers instead
// of every id in it.
constexpr int64_t widest_id_walk = 11;
constexpr uint32_t bridge_query_flags = 4; // no registry pass, no addresses

struct list_releaser {
    void operator()(kxnetif_info_list *list) const { release_kxnetif_info_list(list); }
};
using held_list = std::unique_ptr<kxnetif_info_list, list_releaser>;

void registry_pass() {
    store_set_scope(0, scope_phase_registry);
    store_advance_generation();
    registry_load(report_conf_addr);
    sweep_ifaces();
}

// The running containers (and the host, as the platform lists it), the last
// one listed first.
void collect_running(uint32_t flags, link_facts &facts) {
    // Its answer is not what decides: the enumeration is asked either way.
    kxctl_open();
    kxctl_ids_ptr ids(kxctl_alloc_env_ids());
    if (!ids) return;
    const int count = kxctl_get_env_ids_by_state(ids.get(), KXCTL_ENV_RUNNING);
    std::vector<int32_t> order;
    for (int i = count - 1; i >= 0; --i) order.push_back(static_cast<int32_t>(ids->ids[i]));
    collect_ct_infos(flags, order, &facts);
}

// Walks 64-bit ids so a range ending at INT32_MAX ends.
void collect_containers(uint32_t flags, int32_t ctid_min, int32_t ctid_max, link_facts &facts) {
    if (ctid_max < ctid_min) return;
    if (int64_t{ctid_max} - ctid_min > widest_id_walk) {
        collect_running(flags, facts);
        return;
    }
    std::vector<int32_t> order;
    for (int64_t id = ctid_min; id <= ctid_max; ++id) order.push_back(static_cast<int32_t>(id));
    collect_ct_infos(flags, order, &facts);
}

// Every host record is held while its ifcfg file is checked, so a match
// copies the record instead of changing it under the walk.
void check_boot_protocols() {
    const held_ifaces held(records_in(0, 0));
    // One pass over the ifcfg directories serves every record of the query.
    const ifcfg_device_index index = ifcfg_device_index::build();
    for (const iface_record *record : held.records()) read_bootproto(*record, &index);
}

void host_phase(const link_facts &facts) {
    read_proc_veth(1);
    read_proc_vmth();
    read_vlan_devices();
    scan_bridges(&facts);
    check_boot_protocols();
}

// The host device a filter selects alone, when a snapshot of that device
// gives the same records as one of the whole host: a name a device can
// carry, the host only, and no Open vSwitch (whose bridges and uplinks only
// a scan of every bridge settles).  Null otherwise.
const char *single_host_device(const selection &chosen) {
    if (chosen.everything || chosen.name == nullptr || chosen.name[0] == '\0') return nullptr;
    if (chosen.ctid_min != 0 || chosen.ctid_max != 0 || state().ovs_enabled != 0) return nullptr;
    if (strnlen(chosen.name, IFNAMSIZ) >= IFNAMSIZ || strchr(chosen.name, '/') != nullptr) return nullptr;
    return chosen.name;
}

// The host pass of the container collection for device `name` alone.
void collect_host_device(uint32_t flags, const char *name, link_facts &facts) {
    store_set_scope(0, scope_phase_collect);
    store_advance_generation();
    link_dump_args args{-1, 0, flags};
    args.facts = &facts;
    args.only_name = name;
    dump_link_info(&args);
    sweep_ifaces();
}

// The boot protocol of the records named `name`, held as in the whole pass.
void check_boot_protocol_of(const char *name) {
    const held_ifaces held(records_in(0, 0, name));
    if (held.records().empty()) return;
    const ifcfg_device_index index = ifcfg_device_index::build();
    for (const iface_record *record : held.records()) read_bootproto(*record, &index);
}

// One snapshot: the store emptied, the registry's records when asked for,
// `collect` filling the store, then the selection handed out.  What the
// snapshot's host dump shows (`facts`) spares the bridge scan requests.
template <class Collect>
kxnetif_info_list *take_snapshot(uint32_t flags, const selection &chosen, Collect &&collect) {
    store_retire_all();
    clear_memory_short();
    if ((flags & KXNET_INFO_CONFIG) != 0) registry_pass();
    link_facts facts;
    collect(facts);
    // A snapshot missing what memory could not hold would pass for the truth.
    if (memory_short()) return nullptr;
    return select_kxnetif_info(chosen);
}

// The query for one host device: the same steps, each narrowed to that
// device where the step's records of other devices cannot reach its own.
// The store then holds the registry's records, the device's, the pair and
// VLAN readers' and, for a bridge port, the container end of its pair.
void collect_device(uint32_t flags, const char *name, link_facts &facts) {
    collect_host_device(flags, name, facts);
    read_proc_veth(1);
    read_proc_vmth();
    read_vlan_devices();
    scan_bridges_of(name, &facts);
    check_boot_protocol_of(name);
}

kxnetif_info_list *run_query(uint32_t flags, const selection &chosen) {
    if (const char *name = single_host_device(chosen))
        return take_snapshot(flags, chosen, [&](link_facts &facts) { collect_device(flags, name, facts); });
    return take_snapshot(flags, chosen, [&](link_facts &facts) {
        collect_containers(flags, chosen.ctid_min, chosen.ctid_max, facts);
        if (chosen.ctid_min == 0) host_phase(facts);
    });
}

char *bridge_of_network(const char *network_id) {
    // Without an id every bridge would pass the filter.
    if (network_id == nullptr) return nullptr;
    // The bridge scan names a bridge's network from the registry in memory,
    // which in a process that made no other call is still empty.
    if (registry_load() != 0) return nullptr;
    selection bridges = records_in(0, 0);
    bridges.type_mask = KXNETIF_BRIDGE;
    bridges.network_id = network_id;
    held_list result(run_query(bridge_query_flags, bridges));
    if (!result || result->items[0] == nullptr) return nullptr;
    return caller_copy(result->items[0]->name);
}

} // namespace

} // namespace kx

extern "C" kxnetif_info_list *kxnet_get_info_SL(uint32_t flags, const kxnet_filter *filter) noexcept {
    return kx::guarded<kxnetif_info_list *>(nullptr, [&] { return kx::run_query(flags, kx::selection_of(filter)); });
}

extern "C" kxnetif_info_list *kxnet_get_info(uint32_t flags, const kxnet_filter *filter) noexcept {
    return kx::framed_plain<kxnetif_info_list *>(kx::lock_mode::semaphore_only, nullptr,
                                                 [&] { return kxnet_get_info_SL(flags, filter); });
}

extern "C" void kxnet_release_info_SL(kxnetif_info_list *list) noexcept {
    kx::guarded(0, [&] {
        kx::release_kxnetif_info_list(list);
        return 0;
    });
}

extern "C" int kxnet_release_info(kxnetif_info_list *list) noexcept {
    return kx::framed_semaphore([&] { kxnet_release_info_SL(list); });
}

extern "C" char *kxnet_get_bridge_by_networkid_SL(const char *network_id) noexcept {
    return kx::guarded<char *>(nullptr, [&] { return kx::bridge_of_network(network_id); });
}

extern "C" char *kxnet_get_bridge_by_networkid(const char *network_id) noexcept {
    return kx::framed_plain<char *>(kx::lock_mode::shared, nullptr,
                                    [&] { return kxnet_get_bridge_by_networkid_SL(network_id); });
}
