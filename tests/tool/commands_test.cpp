// kxnetctl's commands run as processes against the real kernel: each
// subcommand's success, the refusals it can meet with their one-line
// messages and exit statuses, and JSON checked against the library's own
// answers to the same query.
#include "kxnet_ct.h"
#include "test_support.h"
#include "tool_env.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace ns = kxtest::ns;
using kxtest::read_file;
using kxtest::write_file;
using namespace kxtest::tool;

namespace {

// A refusal: the status, one line on standard error naming `words`.
void expect_refused(const result &r, int status, const std::string &words) {
    EXPECT_EQ(r.status, status) << r.err;
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("kxnetctl: ", 0), 0u) << r.err;
    EXPECT_TRUE(has(r.err, words)) << r.err;
}

std::string make_network(const std::string &id) {
    result r = kxnetctl({"--json", "network", "add", id});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string bridge = r.json().at("bridge");
    add_switch_fixture(bridge);
    return bridge;
}

using NetworkCommands = ToolTest;
using PortCommands = ToolTest;
using AddressAndVlanCommands = ToolTest;
using ShowCommand = ToolTest;

TEST_F(NetworkCommands, LifecycleAndItsRefusals) {
    result added = kxnetctl({"network", "add", "web"});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "network \"web\" on bridge br0\n");
    EXPECT_TRUE(ns::device_exists("br0"));

    expect_refused(kxnetctl({"network", "add", "web"}), 11, "network \"web\" already exists");
    expect_refused(kxnetctl({"network", "add", "other", "--bridge", "br0"}), 11, "bridge \"br0\" already exists");
    expect_refused(kxnetctl({"network", "add", "bad id"}), 13, "network id \"bad id\" is not valid");

    result named = kxnetctl({"--json", "network", "add", "db", "--bridge", "brdb"});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.json().at("bridge"), "brdb");

    result bridge = kxnetctl({"network", "bridge", "db"});
    EXPECT_EQ(bridge.status, 0) << bridge.err;
    EXPECT_EQ(bridge.out, "brdb\n");
    expect_refused(kxnetctl({"network", "bridge", "nope"}), 12, "network \"nope\" does not exist");

    EXPECT_EQ(kxnetctl({"network", "rename", "db", "backend"}).status, 0);
    expect_refused(kxnetctl({"network", "rename", "db", "x"}), 12, "network \"db\" does not exist");
    expect_refused(kxnetctl({"network", "rename", "backend", "web"}), 11, "network \"web\" already exists");
    expect_refused(kxnetctl({"network", "rename", "backend", "a b"}), 13, "network id \"a b\" is not valid");

    EXPECT_EQ(kxnetctl({"network", "del", "backend"}).status, 0);
    EXPECT_FALSE(ns::device_exists("brdb"));
    expect_refused(kxnetctl({"network", "del", "backend"}), 12, "network \"backend\" does not exist");
}

TEST_F(NetworkCommands, AFailureNamesTheLogTheLibraryWrites) {
    kxtest::make_dirs(ns::at("/etc/kx/kxnet.conf")); // a registry that cannot be read
    expect_refused(kxnetctl({"network", "add", "web"}), 16, "(see " + ns::at("/var/log/kxnetcfg.log") + ")");
}

TEST_F(NetworkCommands, ListMatchesTheConfiguredNetworks) {
    std::string web = make_network("web");
    make_network("db");
    add_nic("nic0");
    ASSERT_EQ(kxnetctl({"attach", "web", "nic0"}).status, 0);

    result listed = kxnetctl({"--json", "network", "list"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const auto networks = listed.json().at("networks");
    kxnet_network_list *own = kxnet_get_configured_networks();
    ASSERT_NE(own, nullptr);
    size_t i = 0;
    for (kxnet_link *l = own->link.next; l != &own->link; l = l->next, ++i) {
        auto *n = reinterpret_cast<kxnet_network *>(l);
        ASSERT_LT(i, networks.size());
        EXPECT_EQ(networks[i].at("network_id"), n->network_id);
        EXPECT_EQ(networks[i].at("bridge"), n->bridge);
        EXPECT_EQ(networks[i].at("phys_iface"), n->phys_iface[0] ? nlohmann::json(n->phys_iface) : nlohmann::json(nullptr));
        EXPECT_EQ(networks[i].at("state"), "up");
    }
    EXPECT_EQ(i, networks.size());
    kxnet_free_networks(own);
    free(own);

    result table = kxnetctl({"network", "list"});
    EXPECT_TRUE(has(table.out, "NETWORK  BRIDGE  STATE  PHYSICAL  PORTS\n")) << table.out;
    EXPECT_TRUE(has(table.out, "web      " + web + "     up     nic0")) << table.out;

    result tree = kxnetctl({"network", "list", "--tree"});
    EXPECT_TRUE(has(tree.out, "web " + web + " up\n└─ nic0  physical\n")) << tree.out;
}

TEST_F(NetworkCommands, TreeShowsContainerPortsAndColourOnlyWhenAsked) {
    ASSERT_EQ(kxct("create 101 --veth veth101.0:web"), 0);
    ASSERT_EQ(kxct("start 101"), 0);
    std::string web = make_network("web");
    result tree = kxnetctl({"network", "list", "--tree"});
    EXPECT_TRUE(has(tree.out, "└─ veth101.0  veth, container 101 eth0")) << tree.out;
    EXPECT_FALSE(has(tree.out, "\033[")) << "no colour off a terminal";

    EXPECT_TRUE(has(kxnetctl({"--color=always", "network", "list", "--tree"}).out, "\033[32mup\033[0m"));
    EXPECT_FALSE(has(kxnetctl({"--color=never", "network", "list"}).out, "\033["));
    EXPECT_FALSE(has(kxnetctl({"network", "list"}, {"NO_COLOR=1"}).out, "\033["));
    EXPECT_EQ(kxct("stop 101"), 0);
}

TEST_F(PortCommands, AttachMoveAndDetach) {
    std::string web = make_network("web");
    std::string db = make_network("db");
    add_nic("nic0");
    add_nic("nic1");
    ASSERT_EQ(kxct("create 101 --veth veth101.0"), 0);
    ASSERT_EQ(kxct("start 101"), 0);

    EXPECT_EQ(kxnetctl({"attach", "web", "nic0"}).status, 0);
    EXPECT_EQ(master_of("nic0"), web);
    expect_refused(kxnetctl({"attach", "db", "nic0"}), 15, "as a port of bridge \"" + web + "\"");
    expect_refused(kxnetctl({"attach", "web", "nic1"}), 11, "already has a physical interface (\"nic0\")");
    expect_refused(kxnetctl({"attach", "web", "nic9"}), 12, "there is no interface \"nic9\" on the host");
    expect_refused(kxnetctl({"attach", "nope", "nic1"}), 12, "network \"nope\" does not exist");

    EXPECT_EQ(kxnetctl({"attach", "web", "veth101.0"}).status, 0);
    EXPECT_EQ(master_of("veth101.0"), web);
    EXPECT_EQ(kxnetctl({"attach", "db", "veth101.0"}).status, 0) << "a container's port moves";
    EXPECT_EQ(master_of("veth101.0"), db);

    result detached = kxnetctl({"--json", "detach", "veth101.0"});
    EXPECT_EQ(detached.status, 0);
    EXPECT_EQ(detached.json().at("interface"), "veth101.0");
    EXPECT_EQ(master_of("veth101.0"), "");
    expect_refused(kxnetctl({"detach", "nic9"}), 12, "there is no interface \"nic9\"");
    EXPECT_EQ(kxct("stop 101"), 0);
}

TEST_F(AddressAndVlanCommands, AddressesAndTheVlanRefusalsOfThisKernel) {
    add_nic("nic0");
    EXPECT_EQ(kxnetctl({"addr", "set", "nic0", "10.9.9.1/24"}).status, 0);
    EXPECT_TRUE(has(ns::capture("ip -o -4 addr show dev nic0"), "10.9.9.1/24"));
    expect_refused(kxnetctl({"addr", "set", "nic0", "10.9.9.1/24"}), 16, "the kernel refused it");
    expect_refused(kxnetctl({"addr", "set", "nic9", "10.9.9.2/24"}), 12, "there is no device \"nic9\"");

    expect_refused(kxnetctl({"vlan", "add", "nic9", "5"}), 12, "there is no device \"nic9\"");
    ns::sh("ip link set nic0 down");
    expect_refused(kxnetctl({"vlan", "add", "nic0", "5"}), 19, "the device is down");
    expect_refused(kxnetctl({"vlan", "del", "nic0"}), 12, "it is not a VLAN device");
    if (!kxtest::file_exists("/proc/net/vlan/config")) {
        ns::set_up("nic0");
        expect_refused(kxnetctl({"vlan", "add", "nic0", "5"}), 13, "the kernel refused to create it");
        EXPECT_EQ(read_file(ns::at("/etc/kx/kxnet.conf")), "ADDR_nic0=\"10.9.9.1/24\"\n") << "no VLAN left registered";
    }
}

TEST_F(ShowCommand, JsonIsTheLibrarysOwnAnswer) {
    ASSERT_EQ(kxct("create 101 --veth veth101.0:web"), 0);
    ASSERT_EQ(kxct("start 101 --addr eth0=10.1.1.2/24"), 0);
    make_network("web");
    add_nic("nic0");
    ASSERT_EQ(kxnetctl({"addr", "set", "nic0", "10.9.9.1/24"}).status, 0);

    using row = std::tuple<int, std::string, std::string, std::string, std::string, std::string>;
    auto library_rows = [](int min, int max) {
        std::set<row> rows;
        kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr, min, max);
        kxnetif_info_list *list = kxnet_get_info(KXNET_INFO_CONFIG | KXNET_INFO_IPV4, filter);
        kxnet_release_filter(filter);
        for (kxnetif_info **i = list->items; *i != nullptr; ++i) {
            std::string addrs;
            for (char **a = (*i)->addrs; a != nullptr && *a != nullptr; ++a) addrs += std::string(*a) + " ";
            rows.insert({(*i)->ctid, (*i)->name, (*i)->hwaddr ? (*i)->hwaddr : "", (*i)->bridge ? (*i)->bridge : "",
                         (*i)->network_id ? (*i)->network_id : "", addrs});
        }
        kxnet_release_info(list);
        return rows;
    };
    auto tool_rows = [](const std::vector<std::string> &args) {
        std::set<row> rows;
        result r = kxnetctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        const nlohmann::json doc = r.json();
        for (const auto &i : doc.at("interfaces")) {
            std::string addrs;
            if (!i.at("addrs").is_null())
                for (const auto &a : i.at("addrs")) addrs += a.get<std::string>() + " ";
            auto text = [&](const char *key) { return i.at(key).is_null() ? std::string() : i.at(key).get<std::string>(); };
            rows.insert({i.at("ctid"), i.at("name"), text("hwaddr"), text("bridge"), text("network_id"), addrs});
        }
        return rows;
    };
    EXPECT_EQ(tool_rows({"--json", "show"}), library_rows(0, 0));
    EXPECT_EQ(tool_rows({"--json", "show", "--ct", "101"}), library_rows(101, 101));
    EXPECT_EQ(tool_rows({"--json", "show", "--ct-range", "0-101"}), library_rows(0, 101));

    const nlohmann::json veths = kxnetctl({"--json", "show", "--kind", "veth", "--network", "web"}).json();
    ASSERT_EQ(veths.at("interfaces").size(), 1u);
    const nlohmann::json veth = veths.at("interfaces")[0];
    EXPECT_EQ(veth.at("name"), "veth101.0");
    EXPECT_EQ(veth.at("peer_ctid"), 101);
    EXPECT_EQ(veth.at("peer_name"), "eth0");

    result table = kxnetctl({"show", "--registry", "--name", "nic0"});
    EXPECT_TRUE(has(table.out, "CT  NAME  KIND  STATE  HWADDR")) << table.out;
    EXPECT_TRUE(has(table.out, "10.9.9.1/24  10.9.9.1/24")) << table.out;
    EXPECT_FALSE(has(kxnetctl({"show", "--no-addrs"}).out, "10.9.9.1")) << "no addresses collected";
    EXPECT_EQ(kxct("stop 101"), 0);
}

} // namespace
