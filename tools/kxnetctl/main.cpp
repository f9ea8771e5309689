// kxnetctl: the host side of container networking by hand, one subcommand
// per exported operation of libkxnet_ct.  The command line is declared here;
// each command lives in its own file (commands.h).
#include "commands.h"
#include "host_lock.h"
#include "input.h"
#include "outcome.h"

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <functional>
#include <map>

namespace {

using namespace kxnetctl;

struct settings {
    bool json = false;
    std::string colour = "auto";
    // Arguments of the subcommands.
    std::string id, new_id, iface, device, vid, name, address, bridge, range, kinds, ct;
    bool tree = false, all = false, no_addrs = false, ipv6 = false, registry = false;
    std::string filter_bridge, filter_network, filter_name;
};

output output_of(const settings &s) {
    colour_mode mode = s.colour == "always" ? colour_mode::always : s.colour == "never" ? colour_mode::never : colour_mode::automatic;
    return output{s.json, !s.json && use_colour(mode)};
}

// The selection of `show` from its options; a refusal sets `status`.
bool selection_of(const settings &s, CLI::App &cmd, show_request &request, int &status) {
    selection &what = request.what;
    int chosen = static_cast<int>(cmd.count("--ct") + cmd.count("--ct-range") + cmd.count("--all"));
    if (chosen > 1) {
        status = fail(status_usage, "show: --ct, --ct-range and --all exclude each other");
        return false;
    }
    if (cmd.count("--ct")) {
        auto ctid = parse_ctid(s.ct);
        if (!ctid) {
            status = refuse("container id \"" + s.ct + "\" is not a number from 0 to 2147483647");
            return false;
        }
        what.ctid_min = what.ctid_max = *ctid;
    } else if (cmd.count("--ct-range")) {
        if (!parse_ctid_range(s.range, what.ctid_min, what.ctid_max)) {
            status = refuse("container range \"" + s.range + "\" is not A-B with 0 <= A <= B");
            return false;
        }
    } else if (s.all) {
        what.ctid_min = 0;
        what.ctid_max = INT_MAX;
    }
    if (cmd.count("--kind")) {
        what.type_mask = parse_kinds(s.kinds);
        if (what.type_mask == 0) {
            status = refuse("kind \"" + s.kinds + "\" is not a list of eth, bridge, vlan, veth, vnic, unknown or all");
            return false;
        }
    }
    if (cmd.count("--bridge")) what.bridge = s.filter_bridge;
    if (cmd.count("--network")) what.network_id = s.filter_network;
    if (cmd.count("--name")) what.name = s.filter_name;
    request.addresses = !s.no_addrs;
    request.ipv6 = s.ipv6;
    request.registry = s.registry;
    return true;
}

// A subcommand that groups others (`network`, `vlan`, `addr`).
CLI::App *group(CLI::App &app, const std::string &name, const std::string &help) {
    CLI::App *cmd = app.add_subcommand(name, help);
    cmd->require_subcommand(1);
    return cmd;
}

struct positional {
    const char *name;
    std::string *value;
    const char *help;
};

// A subcommand of `parent` with required positional arguments, in order.
CLI::App *command(CLI::App *parent, const std::string &name, const std::string &help, std::initializer_list<positional> args) {
    CLI::App *cmd = parent->add_subcommand(name, help);
    for (const auto &a : args) cmd->add_option(a.name, *a.value, a.help)->required();
    return cmd;
}

const char *check_mends() {
    return "\nFindings and what --repair does about each:\n"
           "  bridge-missing, bridge-down, port-detached, vlan-missing\n"
           "                   host start (kxnet_init_devices): reuses every bridge and port, adds what is missing\n"
           "  pair-detached    attach NETWORK DEV (kxnet_br_attach_CT)\n"
           "  address-missing  addr set DEV ADDRESS (compat_kxnet_addr_set), when the device exists\n"
           "  ifcfg-missing    the bridge's or VLAN's file written again; the device and its ports stay\n"
           "  port-missing, pair-missing\n"
           "                   nothing: the device is gone; the line says what to run\n"
           "  orphan-bridge, orphan-vlan, orphan-ifcfg\n"
           "                   what the library made but the registry does not name (a bridge or VLAN device with\n"
           "                   the library's ifcfg file, or the file alone): removed only with --prune, and a\n"
           "                   device only when the library marked it as made by kxnet (never an adopted one)\n"
           "Each mend prints one line (\"repaired  bridge br0 of network \"web\" was down\"); a finding left\n"
           "is printed as check prints it and the status is 1.";
}

const char *watch_footer() {
    return "\nEach round holds the host lock; while the host is stopped (/run/kxnet.stopped, left by host stop)\n"
           "nothing is mended.  A finding is told once; a failed mend, or one nothing can make, is tried again\n"
           "after 1 s doubling to 5 min and told again only when it changes.  SIGTERM or SIGINT: status 0.";
}

std::string footer() {
    return std::string("\n") + status_table() +
           "\nThe sandbox root KXNET_ROOT, when set, applies as it does to the library.\n"
           "See kxnetctl(8) and kxnet_ct(3).";
}

} // namespace

int main(int argc, char **argv) {
    settings s;
    CLI::App app{"kxnetctl - virtual networks, ports, VLANs and addresses of the container host"};
    app.name("kxnetctl");
    app.footer(footer());
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "kxnetctl " KXNETCTL_VERSION, "Print the version and exit");
    app.add_flag("--json", s.json, "Print one JSON document");
    app.add_option("--color,--colour", s.colour, "Colour: auto (on a terminal, unless NO_COLOR), always, never")
        ->check(CLI::IsMember({"auto", "always", "never"}));

    std::function<int()> run;
    auto on = [&](CLI::App *cmd, std::function<int(const output &)> body) {
        cmd->callback([&run, &s, body] { run = [&s, body] { return body(output_of(s)); }; });
    };

    CLI::App *network = group(app, "network", "Virtual networks");
    CLI::App *add = command(network, "add", "Create a network (and its bridge)", {{"ID", &s.id, "Network id"}});
    add->add_option("--bridge", s.bridge, "Bridge device to create (default: the next free brN)");
    on(add, [&](const output &o) { return network_add(o, s.id, add->count("--bridge") ? std::optional(s.bridge) : std::nullopt); });
    on(command(network, "del", "Remove a network and its bridge", {{"ID", &s.id, "Network id"}}),
       [&](const output &o) { return network_del(o, s.id); });
    on(command(network, "rename", "Rename a network (registry and container configurations)",
               {{"ID", &s.id, "Current network id"}, {"NEW", &s.new_id, "New network id"}}),
       [&](const output &o) { return network_rename(o, s.id, s.new_id); });
    CLI::App *list = network->add_subcommand("list", "List the registered networks");
    list->add_flag("--tree", s.tree, "Draw each network as a tree of its bridge and ports");
    on(list, [&](const output &o) { return network_list(o, s.tree); });
    on(command(network, "bridge", "Print the bridge of a network", {{"ID", &s.id, "Network id"}}),
       [&](const output &o) { return network_bridge(o, s.id); });

    on(command(&app, "attach", "Attach a host interface or a container's host end to a network",
               {{"ID", &s.id, "Network id"}, {"IFACE", &s.iface, "Interface"}}),
       [&](const output &o) { return attach(o, s.id, s.iface); });
    on(command(&app, "detach", "Detach an interface from its network", {{"IFACE", &s.iface, "Interface"}}),
       [&](const output &o) { return detach(o, s.iface); });

    CLI::App *vlan = group(app, "vlan", "802.1Q VLAN devices");
    on(command(vlan, "add", "Create VLAN VID over DEV", {{"DEV", &s.device, "Underlying device"}, {"VID", &s.vid, "VLAN id, 0 to 4095"}}),
       [&](const output &o) { return vlan_add(o, s.device, s.vid); });
    on(command(vlan, "del", "Remove a VLAN device", {{"NAME", &s.name, "VLAN device"}}),
       [&](const output &o) { return vlan_del(o, s.name); });
    on(command(group(app, "addr", "Host addresses"), "set", "Add an IPv4 address to DEV, or put it under DHCP",
               {{"DEV", &s.device, "Device"}, {"ADDRESS", &s.address, "A.B.C.D[/PREFIX] or dhcp"}}),
       [&](const output &o) { return addr_set(o, s.device, s.address); });

    CLI::App *show_cmd = app.add_subcommand("show", "Interfaces of the host and containers (the information query)");
    show_cmd->add_option("--ct", s.ct, "One container (0 is the host; the default)");
    show_cmd->add_option("--ct-range", s.range, "Containers A to B");
    show_cmd->add_flag("--all", s.all, "The host and every running container");
    show_cmd->add_option("--kind", s.kinds, "Kinds: eth,bridge,vlan,veth,vnic,unknown,all");
    show_cmd->add_option("--bridge", s.filter_bridge, "Only ports of this bridge");
    show_cmd->add_option("--network", s.filter_network, "Only interfaces of this network");
    show_cmd->add_option("--name", s.filter_name, "Only this interface");
    show_cmd->add_flag("--no-addrs", s.no_addrs, "Collect no addresses");
    show_cmd->add_flag("--ipv6", s.ipv6, "Collect IPv6 addresses too");
    show_cmd->add_flag("--registry", s.registry, "Show the addresses the registry configures");
    int show_status = status_ok;
    on(show_cmd, [&](const output &o) {
        show_request request;
        if (!selection_of(s, *show_cmd, request, show_status)) return show_status;
        return show(o, request);
    });

    CLI::App *host = app.add_subcommand("host", "Registered devices at host start and stop");
    host->require_subcommand(1);
    on(host->add_subcommand("start", "Restore the registered VLANs, bridges and ports"), host_start);
    on(host->add_subcommand("stop", "Remove the registered bridges and VLANs"), host_stop);

    CLI::App *check_cmd = app.add_subcommand("check", "Compare the registry with the kernel; status 1 on drift");
    check_request checking;
    check_cmd->add_flag("--repair", checking.repair, "Mend each finding toward the registry, then look again");
    check_cmd->add_flag("--dry-run", checking.dry_run, "Print the mends --repair would make, change nothing");
    check_cmd->add_flag("--prune", checking.prune, "With --repair: remove orphans too");
    check_cmd->footer(check_mends());
    on(check_cmd, [&](const output &o) {
        check_request request = checking;
        request.repair = request.repair || request.prune;
        return check(o, request);
    });

    CLI::App *watch_cmd = app.add_subcommand("watch", "Check on every change of the registered devices and files until stopped");
    watch_request watching;
    watch_cmd->add_flag("--repair", watching.repair, "Mend each finding as check --repair does");
    watch_cmd->add_flag("--dry-run", watching.dry_run, "Print the mends --repair would make, change nothing");
    watch_cmd->footer(watch_footer());

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::string what = e.what();
        // An unknown word where a subcommand belongs is left over, not named.
        std::vector<std::string> left = app.remaining(true);
        if (!left.empty() && what.find("subcommand is required") != std::string::npos)
            what = "unknown subcommand or argument \"" + left.front() + "\"";
        return fail(status_usage, (what.empty() ? e.get_name() : what) + " (see kxnetctl --help)");
    }
    // The watcher takes the lock in each of its rounds, for a bounded wait.
    if (watch_cmd->parsed()) return watch(watching);
    if (!run) return status_usage;
    // Every command reads or changes under the host lock: a caller stuck
    // holding it makes kxnetctl give up rather than hang.
    if (!host_lock_free()) return status_lock_wait;
    return run();
}
