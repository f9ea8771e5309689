// kxct: sandbox containers for the host networking library.  A container is
// a network namespace with virtual Ethernet pairs to the host, described by
// a configuration file that libkxctl reads; the tool also keeps the
// container kernel's pair list under the sandbox root in step.
#include "container_conf.h"
#include "ip_tool.h"
#include "kxctl.h"
#include "layout.h"
#include "namespace_file.h"
#include "running.h"
#include "veth_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

constexpr const char *usage =
    "kxct - sandbox containers (network namespaces) for kxnet and libkxctl\n"
    "\n"
    "usage:\n"
    "  kxct create <ctid> --veth <host-dev>[:<network-id>][,...] [--root DIR]\n"
    "  kxct start <ctid> [--addr ethN=ADDR/PREFIX]... [--hwaddr ethN=MAC]...\n"
    "  kxct stop <ctid>\n"
    "  kxct destroy <ctid>\n"
    "  kxct list\n"
    "\n"
    "create writes the configuration ${KXNET_ROOT}/etc/kxctl/<ctid>.conf.\n"
    "start makes the namespace ${KXNET_ROOT}/run/netns/kxct<ctid> and one veth\n"
    "pair per interface: the host end as configured, the container end eth0,\n"
    "eth1, ... inside, and lists the pairs in ${KXNET_ROOT}/proc/kx/veth; without\n"
    "KXNET_ROOT only where root may write /proc/kx/veth (the kxproc module's).\n"
    "stop removes the pairs and the namespace; destroy removes the configuration.\n";

int fail(const std::string &message) {
    std::fprintf(stderr, "kxct: %s\n", message.c_str());
    return 1;
}

bool parse_ctid(const char *text, uint32_t &ctid) {
    if (text == nullptr || *text < '1' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
    ctid = static_cast<uint32_t>(value);
    return true;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

bool parse_veths(const std::string &list, std::vector<kxct::veth_conf> &veths) {
    for (const std::string &item : split(list, ',')) {
        size_t colon = item.find(':');
        kxct::veth_conf veth{item.substr(0, colon), colon == std::string::npos ? "" : item.substr(colon + 1)};
        if (veth.host_dev.empty() || veth.host_dev.size() > 15) return false;
        if (colon != std::string::npos && !kxctl_is_networkid_valid(veth.network.c_str())) return false;
        veths.push_back(veth);
    }
    return true;
}

int cmd_create(uint32_t ctid, int argc, char **argv) {
    kxct::container_conf conf;
    for (int i = 0; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) return fail("missing value of " + option);
        if (option == "--veth") {
            if (!parse_veths(argv[++i], conf.veths)) return fail(std::string("bad --veth ") + argv[i]);
        } else if (option == "--root") {
            conf.root = argv[++i];
        } else {
            return fail("unknown option " + option);
        }
    }
    if (access(kxctl::conf_path(ctid).c_str(), F_OK) == 0)
        return fail("container " + std::to_string(ctid) + " exists");
    if (conf.root.empty()) conf.root = kxctl::rooted("/var/lib/kxct/" + std::to_string(ctid));
    std::error_code error;
    std::filesystem::create_directories(conf.root, error);
    if (error) return fail("cannot create " + conf.root + ": " + error.message());
    return kxct::save_new_conf(ctid, conf) ? 0 : 1;
}

// ethN=VALUE options of start, by container device.
bool parse_device_option(const std::string &text, std::map<std::string, std::string> &into) {
    size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 == text.size()) return false;
    into[text.substr(0, equals)] = text.substr(equals + 1);
    return true;
}

// The hardware address of a device (inside netns unless empty) from `ip -br link`.
std::string link_hwaddr(const std::string &netns, const std::string &dev) {
    std::string output;
    kxct::run_ip({"-br", "link", "show", "dev", dev}, netns, &output);
    std::istringstream in(output);
    std::string name, state, hwaddr;
    in >> name >> state >> hwaddr;
    return hwaddr.empty() ? "00:00:00:00:00:00" : hwaddr;
}

void remove_devices(const std::vector<std::string> &devices) {
    for (const std::string &dev : devices) {
        std::string ignored;
        kxct::run_ip({"link", "del", "dev", dev}, {}, &ignored);
    }
}

int stop_container(uint32_t ctid, const kxct::container_conf &conf) {
    std::vector<std::string> host_ends;
    for (const kxct::veth_conf &veth : conf.veths) host_ends.push_back(veth.host_dev);
    remove_devices(host_ends);
    int result = kxct::remove_namespace(ctid);
    if (result != 0) return fail("cannot remove the namespace: " + std::string(std::strerror(result)));
    result = kxct::update_veth_table(ctid, {});
    if (result != 0) return fail("cannot update " + kxctl::proc_veth_path() + ": " + std::strerror(result));
    return 0;
}

// Makes the pairs and configures the container ends; the pair lines to list
// and the host ends made (a failed start removes those and nothing else).
bool make_pairs(uint32_t ctid, const kxct::container_conf &conf, const std::map<std::string, std::string> &addrs,
                const std::map<std::string, std::string> &hwaddrs, std::vector<kxct::veth_pair_line> &lines,
                std::vector<std::string> &made) {
    std::string netns = kxctl::netns_path(ctid);
    if (kxct::run_ip({"link", "set", "dev", "lo", "up"}, netns) != 0) return false;
    for (size_t i = 0; i < conf.veths.size(); ++i) {
        const std::string &host = conf.veths[i].host_dev;
        std::string inside = "eth" + std::to_string(i);
        if (kxct::run_ip({"link", "add", host, "type", "veth", "peer", "name", inside, "netns", netns}) != 0)
            return false;
        made.push_back(host);
        if (kxct::run_ip({"link", "set", "dev", host, "up"}) != 0) return false;
        if (auto hw = hwaddrs.find(inside); hw != hwaddrs.end())
            if (kxct::run_ip({"link", "set", "dev", inside, "address", hw->second}, netns) != 0) return false;
        if (auto addr = addrs.find(inside); addr != addrs.end())
            if (kxct::run_ip({"addr", "add", addr->second, "dev", inside}, netns) != 0) return false;
        if (kxct::run_ip({"link", "set", "dev", inside, "up"}, netns) != 0) return false;
        lines.push_back({link_hwaddr({}, host), host, link_hwaddr(netns, inside), inside, ctid});
    }
    return true;
}

int cmd_start(uint32_t ctid, int argc, char **argv) {
    std::map<std::string, std::string> addrs, hwaddrs;
    for (int i = 0; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) return fail("missing value of " + option);
        std::map<std::string, std::string> *into = option == "--addr" ? &addrs : option == "--hwaddr" ? &hwaddrs : nullptr;
        if (into == nullptr) return fail("unknown option " + option);
        if (!parse_device_option(argv[++i], *into)) return fail("bad " + option + " " + argv[i]);
    }
    std::optional<kxct::container_conf> conf = kxct::load_conf(ctid);
    if (!conf) return 1;
    if (kxctl::is_running(ctid)) return fail("container " + std::to_string(ctid) + " is running");
    int result = kxct::create_namespace(ctid);
    if (result != 0) return fail("cannot create the namespace: " + std::string(std::strerror(result)));
    std::vector<kxct::veth_pair_line> lines;
    std::vector<std::string> made;
    if (!make_pairs(ctid, *conf, addrs, hwaddrs, lines, made)) {
        remove_devices(made);
        kxct::remove_namespace(ctid);
        return fail("cannot set up the interfaces of container " + std::to_string(ctid));
    }
    result = kxct::update_veth_table(ctid, lines);
    if (result != 0) {
        remove_devices(made);
        kxct::remove_namespace(ctid);
        return fail("cannot update " + kxctl::proc_veth_path() + ": " + std::strerror(result));
    }
    return 0;
}

int cmd_stop(uint32_t ctid) {
    std::optional<kxct::container_conf> conf = kxct::load_conf(ctid);
    if (!conf) return 1;
    if (!kxctl::is_running(ctid)) return fail("container " + std::to_string(ctid) + " is not running");
    return stop_container(ctid, *conf);
}

int cmd_destroy(uint32_t ctid) {
    if (kxctl::is_running(ctid)) return fail("container " + std::to_string(ctid) + " is running; stop it first");
    if (unlink(kxctl::conf_path(ctid).c_str()) != 0)
        return fail("container " + std::to_string(ctid) + ": " + std::strerror(errno));
    return 0;
}

int cmd_list() {
    std::unique_ptr<kxctl_env_ids, void (*)(kxctl_env_ids *)> ids(kxctl_alloc_env_ids(), kxctl_free_env_ids);
    if (!ids || kxctl_get_env_ids_by_state(ids.get(), KXCTL_ENV_ALL) < 0) return fail("cannot list containers");
    for (int i = 0; i < ids->count; ++i) {
        uint32_t ctid = ids->ids[i];
        std::optional<kxct::container_conf> conf = kxct::load_conf(ctid);
        if (!conf) continue;
        std::printf("%u %s %s", ctid, kxctl::is_running(ctid) ? "running" : "stopped", conf->root.c_str());
        for (const kxct::veth_conf &veth : conf->veths)
            std::printf(" %s%s%s", veth.host_dev.c_str(), veth.network.empty() ? "" : ":", veth.network.c_str());
        std::printf("\n");
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "list") return cmd_list();
    uint32_t ctid = 0;
    if (argc < 3 || !parse_ctid(argv[2], ctid)) return fail("a container id (1 to 4294967295) is needed; see --help");
    if (command == "create") return cmd_create(ctid, argc - 3, argv + 3);
    if (argc > 3 && command != "start") return fail("unexpected argument " + std::string(argv[3]));
    if (command == "start") return cmd_start(ctid, argc - 3, argv + 3);
    if (command == "stop") return cmd_stop(ctid);
    if (command == "destroy") return cmd_destroy(ctid);
    return fail("unknown command " + command + "; see --help");
}
