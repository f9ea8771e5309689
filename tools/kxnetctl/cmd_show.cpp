// show: the information query as a table like `ip -br`, or as JSON with one
// object per record.
#include "commands.h"

#include "kxnet_ct.h"
#include "outcome.h"
#include "records_json.h"

#include <cstdio>

namespace kxnetctl {

namespace {

std::string joined(const std::optional<std::vector<std::string>> &list) {
    std::string text;
    if (list)
        for (const auto &item : *list) text += (text.empty() ? "" : " ") + item;
    return text;
}

std::string detail(const iface_record &r) {
    if (r.type == KXNETIF_VLAN)
        return "vlan " + (r.vlan_id ? std::to_string(*r.vlan_id) : std::string("?")) + " over " + r.vlan_dev.value_or("?");
    if (r.type == KXNETIF_VETH && (r.peer_name || r.peer_ctid))
        return "peer " + r.peer_name.value_or("?") + " in " +
               (r.peer_ctid ? (*r.peer_ctid == 0 ? std::string("host") : "container " + std::to_string(*r.peer_ctid)) : "?");
    return "";
}

uint32_t flags_of(const show_request &request) {
    uint32_t flags = KXNET_INFO_CONFIG; // networks of bridges come from the registry pass
    if (request.addresses) flags |= KXNET_INFO_IPV4;
    if (request.addresses && request.ipv6) flags |= KXNET_INFO_IPV6;
    return flags;
}

} // namespace

int show(const output &out, const show_request &request) {
    auto records = query_info(flags_of(request), request.what);
    if (!records) return fail_code(KXNET_ERR_SYSTEM, "the information query answered nothing");
    if (out.json) {
        nlohmann::json doc = {{"interfaces", nlohmann::json::array()}};
        for (const auto &r : *records) doc["interfaces"].push_back(to_json(r));
        print_json(doc);
        return status_ok;
    }
    std::vector<std::string> header = {"CT", "NAME", "KIND", "STATE", "HWADDR", "BRIDGE", "NETWORK"};
    if (request.addresses) header.push_back("ADDRESSES");
    if (request.registry) header.push_back("CONFIGURED");
    header.push_back("DETAIL");
    std::vector<std::vector<cell>> rows;
    for (const auto &r : *records) {
        std::string state = r.state == KXNETIF_STATE_UP ? "up" : r.state == KXNETIF_STATE_DOWN ? "down" : "-";
        std::vector<cell> row = {{std::to_string(r.ctid)},
                                 {r.name, tint::bold},
                                 {kind_name(r.type)},
                                 {state, state == "up" ? tint::good : state == "down" ? tint::bad : tint::none},
                                 {r.hwaddr.value_or("-")},
                                 {r.bridge.value_or("-")},
                                 {r.network_id.value_or("-")}};
        if (request.addresses) row.push_back({or_dash(joined(r.addrs))});
        if (request.registry) row.push_back({or_dash(joined(r.conf_addrs))});
        row.push_back({detail(r), tint::dim});
        rows.push_back(row);
    }
    print_table(out, header, rows);
    return status_ok;
}

} // namespace kxnetctl
