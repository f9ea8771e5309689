// Attaching and detaching interfaces through the exported calls on the real
// kernel: the decision on what the snapshot shows, physical interfaces that
// become a network's uplink and share their offloads, kxct containers' pair
// devices moving between networks, Open vSwitch through a recording
// ovs-vsctl, and refused input that must leave host and registry alone.
#include "frame/log.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using kxtest::file_exists;
using kxtest::log_messages;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

int kxct(const std::string &args) { return ns::sh(ns::binary_dir() + "/platform/kxct/kxct " + args); }

std::string registry_text() {
    const std::string path = ns::at("/etc/kx/kxnet.conf");
    return file_exists(path) ? read_file(path) : "";
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The messages other than the lock lines.
std::vector<std::string> body_messages() {
    std::vector<std::string> out;
    for (const auto &m : log_messages())
        if (m.rfind("libkxnet: ", 0) != 0) out.push_back(m);
    return out;
}

std::string last_line() {
    auto messages = body_messages();
    return messages.empty() ? "" : messages.back();
}

std::string attach_failed(const std::string &name, const std::string &network, int err) {
    return "Failed to attach interface \"" + name + "\" to network \"" + network + "\", err = " + std::to_string(err);
}
std::string attached(const std::string &name, const std::string &network) {
    return "Interface \"" + name + "\" is added to network \"" + network + "\"";
}
std::string detach_failed(const std::string &name, int err) {
    return "Failed to detach interface \"" + name + "\" from network, err = " + std::to_string(err);
}
std::string detached(const std::string &name) { return "Interface \"" + name + "\" is detached from network"; }

using ns::kernel_offloads;
using ns::master_of;
using ns::offloads;
using ns::set_kernel_offloads;

// A veth whose host end is named like a NIC (no "veth-"/"vnic" prefix, not
// in the kernel's pair lists): a physical interface to the library.
void add_nic(const std::string &name) { ns::add_veth(name, name + "p"); }

class AttachTest : public LibraryTest {
protected:
    void TearDown() override {
        if (!ns::available()) return;
        for (int ctid : started_) kxct("stop " + std::to_string(ctid) + " 2>/dev/null");
    }

    // A network on a new automatic bridge; its via-physical-device switch is
    // a fixture, as the container kernel provides it.
    std::string new_network(const std::string &network_id) {
        char bridge[16] = "";
        EXPECT_EQ(kxnet_br_new(network_id.c_str(), bridge), KXNET_OK);
        write_file(ns::at("/sys/class/net/" + std::string(bridge) + "/bridge/via_phys_dev"), "0");
        return bridge;
    }

    // A running container with one pair whose host end is `host_end`.
    void start_container(int ctid, const std::string &host_end, const std::string &network_id) {
        const std::string id = std::to_string(ctid);
        ASSERT_EQ(kxct("create " + id + " --veth " + host_end + ":" + network_id), 0);
        ASSERT_EQ(kxct("start " + id), 0);
        started_.push_back(ctid);
    }

private:
    std::vector<int> started_;
};

TEST_F(AttachTest, DecisionTableRefusals) {
    const std::string br = new_network("net-a");
    add_nic("eth1");
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "eth1"), KXNET_OK);

    EXPECT_EQ(kxnet_br_attach_CT("net-a", "ghost0"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(last_line(), attach_failed("ghost0", "net-a", 2));
    EXPECT_EQ(kxnet_br_detach_CT("ghost0"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(last_line(), detach_failed("ghost0", 2));

    // Without a hardware address a device is of no known kind...
    ASSERT_EQ(ns::sh("ip tuntap add dev tun7 mode tun"), 0);
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "tun7"), KXNET_ERR_NOT_FOUND);
    // ...unless the container kernel lists it as a pair device.
    write_file(ns::at("/proc/kx/vmth"), "Version: 1.0\ntun7\n");
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "tun7"), KXNET_ERR_INVALID);
    EXPECT_EQ(last_line(), attach_failed("tun7", "net-a", 3));
    EXPECT_EQ(kxnet_br_detach_CT("tun7"), KXNET_ERR_INVALID);

    // A port of a bridge that no network names is busy all the same.
    ns::add_bridge("foreign");
    add_nic("eth5");
    ASSERT_EQ(ns::sh("ip link set eth5 master foreign"), 0);
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "eth5"), KXNET_ERR_BUSY);
    EXPECT_EQ(last_line(), attach_failed("eth5", "net-a", 5));
    EXPECT_EQ(master_of("eth5"), "foreign");

    add_nic("eth6");
    EXPECT_EQ(kxnet_br_attach_CT("net-none", "eth6"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(master_of("eth6"), "");
    // A network whose bridge is gone takes no uplink and records none.
    const std::string br_gone = new_network("net-gone");
    ASSERT_EQ(ns::sh("ip link del " + br_gone), 0);
    const std::string before_gone = registry_text();
    EXPECT_EQ(kxnet_br_attach_CT("net-gone", "eth6"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(registry_text(), before_gone);
    EXPECT_EQ(kxnet_br_del("net-gone"), KXNET_OK);

    // A second physical interface changes nothing.
    const std::string registry = registry_text();
    const auto ports = ns::bridge_ports(br);
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "eth6"), KXNET_ERR_EXISTS);
    EXPECT_EQ(last_line(), attach_failed("eth6", "net-a", 1));
    EXPECT_EQ(registry_text(), registry);
    EXPECT_EQ(ns::bridge_ports(br), ports);
    // The uplink itself counts as attached.
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "eth1"), KXNET_ERR_BUSY);
    EXPECT_EQ(registry_text(), registry);
}

TEST_F(AttachTest, PhysicalInterfaceBecomesTheUplinkAndSharesItsOffloads) {
    const std::string br = new_network("net-a");
    start_container(101, "vh101", "net-a");
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "vh101"), KXNET_OK);
    ASSERT_EQ(kernel_offloads("vh101"), (offloads{1, 1, 1, 1, 1}));

    add_nic("eth1");
    const offloads uplink{0, 1, 1, 0, 0};
    set_kernel_offloads("eth1", uplink);
    kxtest::clear_log();
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "eth1"), KXNET_OK);
    EXPECT_EQ(last_line(), attached("eth1", "net-a"));
    EXPECT_EQ(ns::bridge_ports(br), (std::vector<std::string>{"eth1", "vh101"}));
    EXPECT_TRUE(contains(registry_text(), "IFLST_" + br + "=\"eth1\"\n")) << registry_text();
    EXPECT_EQ(read_file(ns::at("/sys/class/net/" + br + "/bridge/via_phys_dev")), "01");
    EXPECT_EQ(kernel_offloads("vh101"), uplink) << "copied to the bridge's current port";
    EXPECT_EQ(kernel_offloads("eth1"), uplink);

    // A pair device attached afterwards takes the uplink's settings.
    start_container(102, "vh102", "net-a");
    ASSERT_EQ(kernel_offloads("vh102"), (offloads{1, 1, 1, 1, 1}));
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "vh102"), KXNET_OK);
    EXPECT_EQ(kernel_offloads("vh102"), uplink);

    kxtest::clear_log();
    ASSERT_EQ(kxnet_br_detach_CT("eth1"), KXNET_OK);
    EXPECT_EQ(last_line(), detached("eth1"));
    EXPECT_EQ(master_of("eth1"), "");
    EXPECT_FALSE(contains(registry_text(), "IFLST_")) << registry_text();
    EXPECT_EQ(read_file(ns::at("/sys/class/net/" + br + "/bridge/via_phys_dev")), "010");

    // The network takes another uplink; the old one is free for any network.
    add_nic("eth2");
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "eth2"), KXNET_OK);
    EXPECT_TRUE(contains(registry_text(), "IFLST_" + br + "=\"eth2\"\n"));
    const std::string br_b = new_network("net-b");
    ASSERT_EQ(kxnet_br_attach_CT("net-b", "eth1"), KXNET_OK);
    EXPECT_EQ(master_of("eth1"), br_b);
}

TEST_F(AttachTest, ContainerPairDeviceMovesBetweenNetworks) {
    const std::string br_a = new_network("net-a");
    const std::string br_b = new_network("net-b");
    start_container(201, "vh201", "net-a");
    ns::sh("ip link set vh201 down");
    const std::string registry = registry_text();

    // The older names are the same functions.
    EXPECT_EQ(&kxnet_br_attach, &kxnet_br_attach_CT);
    EXPECT_EQ(&kxnet_br_detach, &kxnet_br_detach_CT);

    ASSERT_EQ(kxnet_br_attach("net-a", "vh201"), KXNET_OK);
    EXPECT_EQ(last_line(), attached("vh201", "net-a"));
    EXPECT_EQ(master_of("vh201"), br_a);
    EXPECT_TRUE(ns::is_up("vh201"));
    EXPECT_EQ(registry_text(), registry);

    ns::sh("ip link set vh201 down");
    ASSERT_EQ(kxnet_br_attach_CT("net-b", "vh201"), KXNET_OK);
    EXPECT_EQ(ns::bridge_ports(br_a), std::vector<std::string>{});
    EXPECT_EQ(ns::bridge_ports(br_b), std::vector<std::string>{"vh201"});
    EXPECT_TRUE(ns::is_up("vh201"));
    EXPECT_EQ(registry_text(), registry);

    // A move to a network that is not registered, or whose bridge is gone,
    // leaves it where it is.
    EXPECT_EQ(kxnet_br_attach_CT("net-gone", "vh201"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(master_of("vh201"), br_b);
    ASSERT_EQ(ns::sh("ip link del " + br_a), 0);
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "vh201"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(master_of("vh201"), br_b);
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "vh201"), KXNET_ERR_NOT_FOUND);

    ASSERT_EQ(kxnet_br_detach("vh201"), KXNET_OK);
    EXPECT_EQ(last_line(), detached("vh201"));
    EXPECT_EQ(master_of("vh201"), "");
    EXPECT_FALSE(ns::is_up("vh201"));
    EXPECT_EQ(registry_text(), registry);
    // In no bridge and no network: nothing to do, and that succeeds.
    EXPECT_EQ(kxnet_br_detach_CT("vh201"), KXNET_OK);
    add_nic("eth9");
    EXPECT_EQ(kxnet_br_detach_CT("eth9"), KXNET_OK);
    EXPECT_EQ(registry_text(), registry);
}

TEST_F(AttachTest, VnicUplinkMovesAndLeavesTheRegistryOfItsOldNetwork) {
    const std::string br_a = new_network("net-a");
    const std::string br_b = new_network("net-b");
    add_nic("vnic0");
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "vnic0"), KXNET_OK);
    EXPECT_TRUE(contains(registry_text(), "IFLST_" + br_a + "=\"vnic0\"\n"));
    ASSERT_EQ(kxnet_br_attach_CT("net-b", "vnic0"), KXNET_OK);
    EXPECT_EQ(master_of("vnic0"), br_b);
    EXPECT_FALSE(contains(registry_text(), "IFLST_" + br_a)) << registry_text();
    EXPECT_TRUE(contains(registry_text(), "IFLST_" + br_b + "=\"vnic0\"\n"));
}

TEST_F(AttachTest, BadInputIsRefusedAndChangesNothing) {
    const std::string br = new_network("net-a");
    start_container(301, "vh301", "net-a");
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "vh301"), KXNET_OK);
    // A device named by the first 15 characters of a longer name.
    ns::add_veth("abcdefghijklmno", "abcp");
    const std::string registry = registry_text();
    const auto ports = ns::bridge_ports(br);
    const std::string devices = ns::capture("ls /sys/class/net");
    kxtest::clear_log();

    const std::string overlong = "abcdefghijklmnop";
    struct attempt {
        const char *network_id;
        const char *name;
        int code;
    };
    const attempt attempts[] = {
        {"net-a", nullptr, KXNET_ERR_INVALID},
        {"net-a", "", KXNET_ERR_INVALID},
        {"net-a", overlong.c_str(), KXNET_ERR_INVALID},
        {nullptr, "vh301", KXNET_ERR_INVALID},
        {"", "vh301", KXNET_ERR_INVALID},
        {"a b", "vh301", KXNET_ERR_INVALID},
        {"net\"a", "abcdefghijklmno", KXNET_ERR_INVALID},
        {"net-a", "eth0", KXNET_ERR_NOT_FOUND}, // lives only inside the container
    };
    std::string expected, seen;
    for (const attempt &a : attempts) {
        EXPECT_EQ(kxnet_br_attach_CT(a.network_id, a.name), a.code) << kx::show(a.network_id) << "/" << kx::show(a.name);
        expected += attach_failed(kx::show(a.name), kx::show(a.network_id), a.code) + "\n";
    }
    for (const char *name : {static_cast<const char *>(nullptr), "", overlong.c_str(), "eth0"}) {
        const int code = name != nullptr && std::strcmp(name, "eth0") == 0 ? KXNET_ERR_NOT_FOUND : KXNET_ERR_INVALID;
        EXPECT_EQ(kxnet_br_detach_CT(name), code) << kx::show(name);
        expected += detach_failed(kx::show(name), code) + "\n";
    }
    EXPECT_EQ(kxnet_br_attach_SL(nullptr, nullptr), KXNET_ERR_INVALID);
    EXPECT_EQ(kxnet_br_detach_SL(nullptr), KXNET_ERR_INVALID);
    // The outcome lines (a snapshot also logs the registry it loads).
    for (const auto &m : body_messages())
        if (m.rfind("Failed to ", 0) == 0 || m.rfind("Interface ", 0) == 0) seen += m + "\n";
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(registry_text(), registry);
    EXPECT_EQ(ns::bridge_ports(br), ports);
    EXPECT_EQ(master_of("abcdefghijklmno"), "");
    EXPECT_EQ(ns::capture("ls /sys/class/net"), devices);
}

// --- Open vSwitch ---

// A recording ovs-vsctl and ip: each call appends "$0 [arg]..." to ${root}/calls.
void install_recorder(const std::string &documented) {
    write_file(ns::at(documented),
               "#!/bin/sh\nline=\"$0\"; for a in \"$@\"; do line=\"$line [$a]\"; done\n"
               "echo \"$line\" >> " + ns::root() + "/calls\n",
               0755);
}

std::vector<std::string> calls() {
    std::vector<std::string> lines;
    const std::string path = ns::at("/calls");
    std::string all = file_exists(path) ? read_file(path) : "";
    size_t start = 0, end;
    while ((end = all.find('\n', start)) != std::string::npos) {
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class OvsAttachTest : public AttachTest {
protected:
    void SetUp() override {
        AttachTest::SetUp();
        if (IsSkipped()) return;
        kx::state().ovs_enabled = 1;
        install_recorder("/usr/bin/ovs-vsctl");
        install_recorder("/sbin/ip");
        // The network's bridge; a Linux bridge stands in for the switch's,
        // so the scan reports its ports.
        ns::add_bridge("netbr");
        write_file(ns::at("/etc/kx/kxnet.conf"), "VNID_netbr=\"net-o\"\n");
    }
};

TEST_F(OvsAttachTest, OnlyTheNetworkDecidesAndPortsGoThroughOvsVsctl) {
    // A port of a bridge that no network names is not attached here.
    ns::add_bridge("foreign");
    start_container(401, "vh401", "net-o");
    ASSERT_EQ(ns::sh("ip link set vh401 master foreign"), 0);
    ASSERT_EQ(kxnet_br_attach_CT("net-o", "vh401"), KXNET_OK);
    // The scan's one listing of the switch, then the port add.
    const std::string tool = ns::at("/usr/bin/ovs-vsctl");
    EXPECT_EQ(calls(), (std::vector<std::string>{tool + " [--timeout=5] [--format=csv] [--data=bare] [--no-headings] "
                                                        "[--] [--columns=name,ports] [list] [Bridge] "
                                                        "[--] [--columns=_uuid,name] [list] [Port]",
                                                 tool + " [--] [--may-exist] [add-port] [netbr] [vh401]"}));
    EXPECT_TRUE(ns::is_up("vh401"));

    // A physical interface linked into the network through its pair: the
    // scan names the network, so it is busy.
    ns::add_bridge("br-eth1");
    add_nic("eth1");
    ns::add_veth("veth-eth1.0", "veth-eth1.1");
    ASSERT_EQ(ns::sh("ip link set eth1 master br-eth1 && ip link set veth-eth1.0 master br-eth1 && "
                     "ip link set veth-eth1.1 master netbr"),
              0);
    // br-eth1 is registered too: only a registered br-X is looked into.
    write_file(ns::at("/etc/kx/kxnet.conf"),
               "VNID_netbr=\"net-o\"\nIFLST_netbr=\"eth1\"\nVNID_br-eth1=\"phys-eth1\"\n");
    write_file(ns::at("/calls"), "");
    EXPECT_EQ(kxnet_br_attach_CT("net-o", "eth1"), KXNET_ERR_BUSY);

    // Its detach takes the pair link apart and forgets the uplink.
    ASSERT_EQ(kxnet_br_detach_CT("eth1"), KXNET_OK);
    const auto made = calls();
    EXPECT_EQ(std::count(made.begin(), made.end(), ns::at("/sbin/ip") + " [link] [delete] [veth-eth1.0]"), 1);
    EXPECT_EQ(made.back(), ns::at("/sbin/ip") + " [link] [delete] [veth-eth1.0]");
    EXPECT_EQ(master_of("veth-eth1.0"), "");
    EXPECT_EQ(master_of("veth-eth1.1"), "");
    EXPECT_EQ(registry_text(), "VNID_netbr=\"net-o\"\nVNID_br-eth1=\"phys-eth1\"\n");
}

// Without the container kernel's pair request the link cannot be made: the
// attach fails and the registry keeps no uplink.
TEST_F(OvsAttachTest, FailedLinkOfAPhysicalInterfaceSavesNothing) {
    add_nic("eth2");
    const std::string registry = registry_text();
    EXPECT_EQ(kxnet_br_attach_CT("net-o", "eth2"), KXNET_ERR_SYSTEM);
    EXPECT_EQ(last_line(), attach_failed("eth2", "net-o", 6));
    const auto messages = body_messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Failed to open /dev/kxctl: err=2"), messages.end());
    EXPECT_EQ(registry_text(), registry);
    for (const std::string &call : calls()) EXPECT_EQ(call.find("add-port"), std::string::npos) << call;
}

} // namespace
