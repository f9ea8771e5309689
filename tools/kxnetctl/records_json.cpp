// JSON of registry networks and information records: every field of the
// record, absent values as null, kinds and states as words.
#include "records_json.h"

#include "kxnet_ct.h"

namespace kxnetctl {

namespace {

template <typename T> nlohmann::json optional_json(const std::optional<T> &value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

nlohmann::json state_json(uint32_t state) {
    if (state == KXNETIF_STATE_UP) return "up";
    if (state == KXNETIF_STATE_DOWN) return "down";
    return nullptr;
}

nlohmann::json to_json(const network_record &network) {
    return {{"network_id", network.network_id},
            {"bridge", network.bridge},
            {"phys_iface", network.phys_iface.empty() ? nlohmann::json(nullptr) : nlohmann::json(network.phys_iface)},
            {"ifaces", network.ifaces},
            {"preexisting", network.preexisting}};
}

nlohmann::json to_json(const iface_record &r) {
    return {{"ctid", r.ctid},
            {"name", r.name},
            {"alt_name", r.alt_name},
            {"type", kind_name(r.type)},
            {"state", state_json(r.state)},
            {"hwaddr", optional_json(r.hwaddr)},
            {"bridge", optional_json(r.bridge)},
            {"network_id", optional_json(r.network_id)},
            {"addrs", optional_json(r.addrs)},
            {"conf_addrs", optional_json(r.conf_addrs)},
            {"vlan_dev", optional_json(r.vlan_dev)},
            {"vlan_id", optional_json(r.vlan_id)},
            {"peer_ctid", optional_json(r.peer_ctid)},
            {"peer_name", optional_json(r.peer_name)},
            {"flags", r.flags},
            {"mask", r.mask}};
}

} // namespace kxnetctl
