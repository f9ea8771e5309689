// The host's bridges: each bridge of "/sys/class/net" is reported with its
// network id and its ports.  A temporary network list built during the scan
// lets the ports of the Open vSwitch arrangement (br-X with X and
// veth-X.0, a network bridge with veth-X.1) show X in the network whose
// bridge holds the pair's second end.  With Open vSwitch active, the
// switch's bridges count too, with the ports its database lists: on a stock
// kernel their devices answer no bridge request.
#include "netinfo/host_collectors.h"

#include "devices/bridge_command.h"
#include "devices/ovs_listing.h"
#include "devices/ports.h"
#include "frame/state.h"
#include "netinfo/link_facts.h"
#include "netinfo/store.h"
#include "registry/model.h"
#include "sys/device_probe.h"
#include "sys/dir_listing.h"
#include "sys/fd.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if_arp.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kx {

namespace {

constexpr const char *sys_class_net = "/sys/class/net";

// Asks the kernel for the bridge information of `name`; success means a bridge.
bool answers_bridge_request(const char *name) {
    ctl_socket_holder sock;
    if (!sock) return false;
    unsigned char info[80] = {};
    bridge_command_block block;
    block.command = brctl_get_bridge_info;
    block.value = reinterpret_cast<uintptr_t>(info);
    return bridge_private_request(sock.socket(), name, block) >= 0;
}

// The switch's bridges as its database lists them; empty while Open vSwitch
// is not active or does not answer.
std::vector<ovs_bridge> switch_bridges() {
    if (state().ovs_enabled == 0) return {};
    return list_ovs_bridges().value_or(std::vector<ovs_bridge>{});
}

const ovs_bridge *switch_bridge(const std::vector<ovs_bridge> &bridges, const char *name) {
    for (const ovs_bridge &bridge : bridges)
        if (bridge.name == name) return &bridge;
    return nullptr;
}

// Whether sysfs gives `name` a hardware type other than Ethernet, which no
// bridge has.  IP tunnels (ipip, gre, sit, ...) answer the legacy bridge
// request with their own tunnel request, so they must not reach it.
bool never_a_bridge(int listing, const char *name) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/type", name);
    unique_fd type_file(openat(listing, path, O_RDONLY | O_CLOEXEC));
    if (!type_file) return false;
    char text[16] = {};
    const ssize_t length = read(type_file.get(), text, sizeof text - 1);
    if (length <= 0) return false;
    char *end = nullptr;
    const long type = std::strtol(text, &end, 10);
    return end != text && type != ARPHRD_ETHER;
}

// `listing` is "/sys/class/net" opened once for the scan: each probe then
// resolves only "<name>/bridge" and "<name>/type" below it.  A bridge the
// switch lists is one whatever its kind.  A device whose dumped kind settles
// the answer (`known`) is not probed: the bridge driver's devices both have
// the attribute directory and answer the request, the settled others neither.
bool is_bridge(int listing, const char *name, bridge_answer known, const std::vector<ovs_bridge> &on_switch) {
    if (switch_bridge(on_switch, name) != nullptr) return true;
    if (known != bridge_answer::ask) return known == bridge_answer::bridge;
    char path[4096];
    std::snprintf(path, sizeof path, "%s/bridge", name);
    struct stat info {};
    if (fstatat(listing, path, &info, 0) == 0 && S_ISDIR(info.st_mode)) return true;
    return !never_a_bridge(listing, name) && answers_bridge_request(name);
}

bridge_answer known_answer(const link_facts *facts, const char *name) {
    return facts != nullptr ? facts->bridge_answer_for(name) : bridge_answer::ask;
}

// The host's bridges in alphabetical order, each once; none when the
// devices cannot be listed.  The devices tested are the links of this
// snapshot's whole host dump when it ran, else the entries of
// "/sys/class/net": both name the same devices, and the dump's names spare
// a pass over a sysfs directory of thousands of entries, which cost more
// than the rest of the scan on a large host.  Only the bridges are sorted:
// on a large host they are few among the devices.
std::optional<std::vector<std::string>> list_bridges(const link_facts *facts,
                                                     const std::vector<ovs_bridge> &on_switch) {
    unique_fd listing(open(sys_class_net, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return std::nullopt;
    std::vector<std::string> bridges;
    auto test = [&](const char *name, bridge_answer known) {
        if (is_bridge(listing.get(), name, known, on_switch)) bridges.emplace_back(name);
    };
    if (facts != nullptr && facts->filled && facts->whole) {
        for (const link_facts::entry &link : facts->entries) test(link.name, link.answer);
    } else {
        dir_listing names(sys_class_net, dir_listing::order::as_read);
        if (names.failed()) return std::nullopt;
        for (int i = 0; i < names.size(); ++i)
            if (!is_dot_entry(names.name(i))) test(names.name(i), known_answer(facts, names.name(i)));
    }
    std::sort(bridges.begin(), bridges.end(), alphasort_before);
    bridges.erase(std::unique(bridges.begin(), bridges.end()), bridges.end());
    return bridges;
}

// Reports a port: its bridge, and with a network entry the network id, also
// for the container end of a pair; the port joins the entry's list.
void report_port(const char *bridge, const char *port, void *context) {
    auto *entry = static_cast<network *>(context);
    iface_update update(port, 0);
    if (update.bridge(std::string_view(bridge)).failed() || entry == nullptr) return;
    const iface_record *record = update.network_id(std::string_view(entry->network_id())).record();
    if (record != nullptr && record->type == KXNETIF_VETH && record->peer_name() != nullptr) {
        std::string peer_name(record->peer_name());
        iface_update(peer_name.c_str(), record->peer_ctid()).network_id(std::string_view(entry->network_id()));
    }
    network_iface_add(entry, port);
}

// Reports bridge `bridge` and its ports; with a network id the bridge gets an
// entry in the temporary list.  A switch bridge's ports are those the switch
// lists; a bridge the whole dump showed has the links it named as their
// master, which are the entries of its "brif" directory.
void scan_bridge(network_list &found, const char *bridge, const ovs_bridge *on_switch, const link_facts *facts) {
    iface_update update(bridge, 0);
    update.type(KXNETIF_BRIDGE);
    std::optional<std::string> network_id;
    if (const network *registered = network_find_by_bridge(bridge)) {
        network_id = registered->network_id();
        update.network_id(*network_id);
    }
    network *entry = nullptr;
    if (network_id)
        entry = network_add(found, network_id->c_str(), bridge, bridge_exists(network_id->c_str()));
    if (on_switch != nullptr) {
        for (const std::string &port : on_switch->ports) report_port(bridge, port.c_str(), entry);
        return;
    }
    if (const auto ports = facts != nullptr ? facts->ports_of(bridge) : std::nullopt) {
        for (const std::string &port : *ports) report_port(bridge, port.c_str(), entry);
        return;
    }
    for_each_bridge_port(bridge, report_port, entry);
}

// "veth-<device>.<end>", cut to 15 characters as a device name.
void pair_end_name(const char *device, int end, char (&out)[16]) {
    copy_ifname(out, ("veth-" + std::string(device) + "." + std::to_string(end)).c_str());
}

// br-X with ports X and veth-X.0: X is reported in the network whose bridge
// holds veth-X.1.
void link_physical_device(network_list &found, const network &entry) {
    const std::string_view physical = std::string_view(entry.bridge()).substr(3);
    const std::string *device = nullptr;
    const std::string *candidate = nullptr;
    for (const std::string &port : entry.ifaces()) {
        if (port == physical)
            device = &port;
        else if (port.compare(0, 5, "veth-") == 0)
            candidate = &port;
    }
    if (device == nullptr || candidate == nullptr) return;
    char first_end[16];
    pair_end_name(device->c_str(), 0, first_end);
    if (*candidate != first_end) return;
    char second_end[16];
    pair_end_name(device->c_str(), 1, second_end);
    const network *linked = network_find_by_iface(found, second_end);
    if (linked == nullptr) return;
    iface_update(device->c_str(), 0)
        .network_id(std::string_view(linked->network_id()))
        .bridge(std::string_view(linked->bridge()));
}

} // namespace

void scan_bridges(const link_facts *facts) {
    // One control socket serves every probe of the scan; without the hold,
    // each legacy bridge request of a non-bridge device opened and closed one.
    ctl_socket_holder hold;
    const std::vector<ovs_bridge> on_switch = switch_bridges();
    std::optional<std::vector<std::string>> bridges = list_bridges(facts, on_switch);
    if (!bridges) return;
    network_list found;
    for (const std::string &bridge : *bridges)
        scan_bridge(found, bridge.c_str(), switch_bridge(on_switch, bridge.c_str()), facts);
    if (state().ovs_enabled == 0) return;
    for (const network &entry : found)
        if (entry.bridge().compare(0, 3, "br-") == 0) link_physical_device(found, entry);
}

namespace {

// The bridge that sysfs links device `name` to as its port; none for a
// device that is no bridge's port.
std::optional<std::string> master_bridge(int listing, const char *name) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/brport/bridge", name);
    char target[4096];
    const ssize_t length = readlinkat(listing, path, target, sizeof target - 1);
    if (length <= 0) return std::nullopt;
    target[length] = '\0';
    const char *base = std::strrchr(target, '/');
    return std::string(base != nullptr ? base + 1 : target);
}

bool listed(int listing, const char *name) {
    struct stat info {};
    return std::strchr(name, '/') == nullptr && fstatat(listing, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

void scan_bridges_of(const char *name, const link_facts *facts) {
    ctl_socket_holder hold;
    unique_fd listing(open(sys_class_net, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing || !listed(listing.get(), name)) return;
    const std::vector<ovs_bridge> no_switch;
    network_list found;
    if (is_bridge(listing.get(), name, known_answer(facts, name), no_switch)) {
        scan_bridge(found, name, nullptr, nullptr);
        return;
    }
    const std::optional<std::string> bridge = master_bridge(listing.get(), name);
    if (!bridge || !listed(listing.get(), bridge->c_str()) ||
        !is_bridge(listing.get(), bridge->c_str(), known_answer(facts, bridge->c_str()), no_switch))
        return;
    network *entry = nullptr;
    if (const network *registered = network_find_by_bridge(bridge->c_str())) {
        const std::string network_id = registered->network_id();
        entry = network_add(found, network_id.c_str(), bridge->c_str(), bridge_exists(network_id.c_str()));
    }
    report_port(bridge->c_str(), name, entry);
}

} // namespace kx
