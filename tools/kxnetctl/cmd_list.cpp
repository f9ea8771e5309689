// network list: the registered networks with their bridge's state and ports,
// as a table, as a tree (bridge, physical interface, ports and the
// container behind each pair device), or as JSON.
#include "commands.h"

#include "kernel.h"
#include "kxnet_ct.h"
#include "outcome.h"
#include "records_json.h"

#include <algorithm>
#include <cstdio>

namespace kxnetctl {

namespace {

struct port_view {
    std::string name;
    std::string role; // "physical", "interface" or "port"
    std::string kind;
    std::optional<int> ctid;
    std::optional<std::string> peer;
    bool attached = true;
};

struct network_view {
    network_record network;
    std::string state; // "up", "down" or "missing"
    std::vector<port_view> ports;
};

std::string bridge_state(const std::string &bridge) {
    if (!device_exists(bridge)) return "missing";
    return device_up(bridge) ? "up" : "down";
}

network_view view_of(const network_record &n, const std::vector<iface_record> &host) {
    network_view view{n, bridge_state(n.bridge), {}};
    auto record_of = [&](const std::string &name) -> const iface_record * {
        for (const auto &r : host)
            if (r.name == name) return &r;
        return nullptr;
    };
    auto add = [&](const std::string &name, const std::string &role) {
        const iface_record *r = record_of(name);
        port_view port{name, role, r != nullptr ? kind_name(r->type) : "missing", std::nullopt, std::nullopt,
                       bridge_of_port(name) == n.bridge};
        if (r != nullptr && r->type == KXNETIF_VETH) {
            port.ctid = r->peer_ctid;
            port.peer = r->peer_name;
        }
        view.ports.push_back(port);
    };
    if (!n.phys_iface.empty()) add(n.phys_iface, "physical");
    for (const auto &i : n.ifaces) add(i, "interface");
    for (const auto &r : host) {
        if (!r.bridge || *r.bridge != n.bridge || r.name == n.bridge) continue;
        bool listed = std::any_of(view.ports.begin(), view.ports.end(), [&](const port_view &p) { return p.name == r.name; });
        if (!listed) add(r.name, "port");
    }
    return view;
}

nlohmann::json to_json(const network_view &view) {
    nlohmann::json doc = kxnetctl::to_json(view.network);
    doc["state"] = view.state;
    doc["ports"] = nlohmann::json::array();
    for (const auto &p : view.ports)
        doc["ports"].push_back({{"name", p.name},
                                {"role", p.role},
                                {"type", p.kind},
                                {"attached", p.attached},
                                {"peer_ctid", p.ctid ? nlohmann::json(*p.ctid) : nlohmann::json(nullptr)},
                                {"peer_name", p.peer ? nlohmann::json(*p.peer) : nlohmann::json(nullptr)}});
    return doc;
}

tint state_tint(const std::string &state) { return state == "up" ? tint::good : tint::bad; }

std::string port_label(const port_view &p) {
    std::string label = p.role == "port" ? p.kind : p.role;
    if (p.ctid) label += ", container " + std::to_string(*p.ctid) + (p.peer ? " " + *p.peer : "");
    if (!p.attached) label += ", not a port of the bridge";
    return label;
}

void print_tree(const output &out, const std::vector<network_view> &views) {
    for (size_t v = 0; v < views.size(); ++v) {
        const auto &view = views[v];
        std::printf("%s %s %s\n", paint(out, view.network.network_id, tint::bold).c_str(),
                    view.network.bridge.c_str(), paint(out, view.state, state_tint(view.state)).c_str());
        size_t width = 0;
        for (const auto &p : view.ports) width = std::max(width, p.name.size());
        for (size_t i = 0; i < view.ports.size(); ++i) {
            const auto &p = view.ports[i];
            bool last = i + 1 == view.ports.size();
            std::string label = port_label(p);
            std::printf("%s %-*s  %s\n", last ? "└─" : "├─", static_cast<int>(width), p.name.c_str(),
                        paint(out, label, p.attached ? tint::dim : tint::bad).c_str());
        }
        if (v + 1 < views.size()) std::printf("\n");
    }
}

void print_list(const output &out, const std::vector<network_view> &views) {
    std::vector<std::vector<cell>> rows;
    for (const auto &view : views) {
        std::string ports;
        for (const auto &p : view.ports) {
            if (p.role == "physical") continue;
            ports += (ports.empty() ? "" : " ") + p.name;
        }
        rows.push_back({{view.network.network_id, tint::bold},
                        {view.network.bridge},
                        {view.state, state_tint(view.state)},
                        {or_dash(view.network.phys_iface)},
                        {or_dash(ports)}});
    }
    print_table(out, {"NETWORK", "BRIDGE", "STATE", "PHYSICAL", "PORTS"}, rows);
}

} // namespace

int network_list(const output &out, bool tree) {
    auto networks = configured_networks();
    if (!networks) return fail_code(KXNET_ERR_SYSTEM, "cannot read the registered networks (lock or registry failure)");
    auto host = query_info(KXNET_INFO_CONFIG, selection{});
    if (!host) return fail_code(KXNET_ERR_SYSTEM, "the information query answered nothing");
    std::vector<network_view> views;
    for (const auto &n : *networks) views.push_back(view_of(n, *host));
    if (out.json) {
        nlohmann::json doc = {{"networks", nlohmann::json::array()}};
        for (const auto &view : views) doc["networks"].push_back(to_json(view));
        print_json(doc);
    } else if (tree) {
        print_tree(out, views);
    } else {
        print_list(out, views);
    }
    return status_ok;
}

} // namespace kxnetctl
