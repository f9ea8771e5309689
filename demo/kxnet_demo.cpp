// A walk through the library in a sandbox: scripts/demo.sh runs it inside a
// fresh network and mount namespace with KXNET_ROOT at a scratch directory,
// with the container stand-in's tool `kxct` on PATH.  It starts a container,
// creates the virtual network it is configured for, takes snapshots, renames
// and removes the network, and prints what each call did and logged.
#include "kxnet_ct.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string root() {
    const char *r = std::getenv("KXNET_ROOT");
    return r != nullptr ? r : "";
}

void run(const std::string &command) {
    std::printf("$ %s\n", command.c_str());
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) std::printf("  (command failed)\n");
}

void show_registry() {
    std::ifstream in(root() + "/etc/kx/kxnet.conf");
    std::string line;
    std::printf("  registry /etc/kx/kxnet.conf:\n");
    while (std::getline(in, line)) std::printf("    %s\n", line.c_str());
}

const char *kind_name(int32_t type) {
    switch (type) {
    case KXNETIF_ETH: return "ETH";
    case KXNETIF_BRIDGE: return "BRIDGE";
    case KXNETIF_VLAN: return "VLAN";
    case KXNETIF_VETH: return "VETH";
    case KXNETIF_VNIC: return "VNIC";
    default: return "UNKNOWN";
    }
}

std::string joined(char **list) {
    std::string text;
    for (char **item = list; item != nullptr && *item != nullptr; ++item)
        text += (text.empty() ? "" : " ") + std::string(*item);
    return text;
}

void show_info(const char *title, int ctid_min, int ctid_max) {
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr,
                                                   ctid_min, ctid_max);
    kxnetif_info_list *list =
        kxnet_get_info(KXNET_INFO_CONFIG | KXNET_INFO_IPV4, filter);
    kxnet_release_filter(filter);
    std::printf("kxnet_get_info(%s, containers %d..%d):\n", title, ctid_min, ctid_max);
    if (list == nullptr) {
        std::printf("  (no snapshot)\n");
        return;
    }
    for (kxnetif_info **item = list->items; *item != nullptr; ++item) {
        const kxnetif_info *r = *item;
        std::printf("  ct %-3d %-7s %-12s state=%s hw=%s bridge=%s network=%s addrs=[%s]", r->ctid,
                    kind_name(r->type), r->name, r->state == 1 ? "up" : r->state == 2 ? "down" : "-",
                    r->hwaddr ? r->hwaddr : "-", r->bridge ? r->bridge : "-",
                    r->network_id ? r->network_id : "-", joined(r->addrs).c_str());
        if (r->type == KXNETIF_VETH && r->peer_name != nullptr)
            std::printf(" peer=%s@%d", r->peer_name, r->peer_ctid);
        std::printf("\n");
    }
    kxnet_release_info(list);
}

void show_log() {
    std::ifstream log(root() + "/var/log/kxnetcfg.log");
    std::string line;
    std::printf("--- the library's log, /var/log/kxnetcfg.log:\n");
    while (std::getline(log, line)) std::printf("    %s\n", line.c_str());
}

} // namespace

int main() {
    if (root().empty()) {
        std::fprintf(stderr, "kxnet_demo: run it through scripts/demo.sh (needs KXNET_ROOT)\n");
        return 2;
    }
    std::printf("kxnet demo in sandbox %s (own network namespace)\n\n", root().c_str());

    run("kxct create 101 --veth veth101.0:web");
    run("kxct start 101 --addr eth0=10.1.1.2/24 --hwaddr eth0=02:00:00:00:00:01");

    // Creating the network re-attaches the host ends of containers
    // configured for it.
    char bridge[16] = "";
    int rc = kxnet_br_new("web", bridge);
    std::printf("kxnet_br_new(\"web\", \"\") -> %d, bridge \"%s\"\n", rc, bridge);
    show_registry();
    rc = kxnet_br_new("web", bridge);
    std::printf("kxnet_br_new(\"web\") again -> %d (exists)\n", rc);
    rc = kxnet_br_new("bad id", nullptr);
    std::printf("kxnet_br_new(\"bad id\") -> %d (invalid)\n", rc);

    run("ip -br link show master " + std::string(bridge));

    kxnet_network_list *networks = kxnet_get_configured_networks();
    std::printf("kxnet_get_configured_networks():\n");
    if (networks != nullptr) {
        for (kxnet_link *l = networks->link.next; l != &networks->link; l = l->next) {
            auto *n = reinterpret_cast<kxnet_network *>(l);
            std::printf("  network \"%s\" bridge %s uplink \"%s\"\n", n->network_id, n->bridge,
                        n->phys_iface);
        }
        kxnet_free_networks(networks);
        std::free(networks);
    }

    show_info("host", 0, 0);
    show_info("container", 101, 101);
    char *found = kxnet_get_bridge_by_networkid("web");
    std::printf("kxnet_get_bridge_by_networkid(\"web\") -> %s\n", found ? found : "(none)");
    std::free(found);

    rc = kxnet_br_change("web", "frontend");
    std::printf("kxnet_br_change(\"web\", \"frontend\") -> %d\n", rc);
    run("cat " + root() + "/etc/kxctl/101.conf");
    rc = kxnet_br_del("frontend");
    std::printf("kxnet_br_del(\"frontend\") -> %d\n", rc);
    show_registry();
    run("kxct stop 101");
    std::printf("\n");
    show_log();
    return 0;
}
