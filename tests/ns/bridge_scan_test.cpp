// The bridge scan on real bridges: ports with and without a network, the
// network id passed to the container end of a pair, and the Open vSwitch
// arrangement of a physical device.
#include "frame/state.h"
#include "netinfo/host_collectors.h"
#include "netinfo/store.h"
#include "registry/model.h"
#include "ns_env.h"

#include <algorithm>
#include <optional>
#include <string>

namespace {

using kxtest::log_messages;
namespace ns = kxtest::ns;

class BridgeScan : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        kx::store_reset_for_tests();
    }
    void TearDown() override {
        kx::state().ovs_enabled = 0;
        kx::networks_clear();
        kx::veth_pairs_clear();
        kx::store_reset_for_tests();
    }
};

kx::iface_record *host_record(const char *name) { return kx::find_iface(name, 0, KXNETIF_ALL); }

const char *text(const std::optional<std::string> &field) { return field ? field->c_str() : nullptr; }

const char *network_of(const kx::iface_record *record) {
    if (record == nullptr || (record->mask & KXNETIF_F_NETWORK_ID) == 0) return nullptr;
    return text(record->network_id);
}

bool logged(const std::string &message) {
    auto messages = log_messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// br-eth1 with the physical device eth1 and the first end of the link pair,
// brnet with its second end.
void build_ovs_arrangement() {
    ns::add_bridge("br-eth1");
    ns::add_bridge("brnet");
    ns::add_veth("eth1", "wire1");
    ns::add_veth("veth-eth1.0", "veth-eth1.1");
    ASSERT_EQ(ns::sh("ip link set eth1 master br-eth1 && ip link set veth-eth1.0 master br-eth1 &&"
                     " ip link set veth-eth1.1 master brnet"),
              0);
}

} // namespace

TEST_F(BridgeScan, PortsGetTheirBridgeAndTheNetworkReachesTheContainerEnd) {
    ns::add_bridge("brnet");
    ns::add_bridge("brfree");
    ns::add_veth("vethA", "vethB");
    ns::add_veth("vethC", "vethD");
    ASSERT_EQ(ns::sh("ip link set vethA master brnet && ip link set vethC master brfree"), 0);
    ASSERT_EQ(kx::network_add_to_registry("net1", "brnet", 0), 0);
    kxtest::write_file(ns::at("/proc/kx/veth"), "Version: 1.0\n1 vethA 2 eth0 101\n");
    kxtest::clear_log();

    kx::read_proc_veth(1);
    kx::scan_bridges();

    kx::iface_record *brnet = host_record("brnet");
    ASSERT_NE(brnet, nullptr);
    EXPECT_EQ(brnet->type, KXNETIF_BRIDGE);
    EXPECT_STREQ(network_of(brnet), "net1");
    kx::iface_record *brfree = host_record("brfree");
    ASSERT_NE(brfree, nullptr);
    EXPECT_EQ(brfree->type, KXNETIF_BRIDGE);
    EXPECT_EQ(network_of(brfree), nullptr);

    kx::iface_record *host_end = host_record("vethA");
    ASSERT_NE(host_end, nullptr);
    EXPECT_STREQ(text(host_end->bridge), "brnet");
    EXPECT_STREQ(network_of(host_end), "net1");
    EXPECT_STREQ(network_of(kx::find_iface("eth0", 101, KXNETIF_VETH)), "net1");

    kx::iface_record *free_port = host_record("vethC");
    ASSERT_NE(free_port, nullptr);
    EXPECT_STREQ(text(free_port->bridge), "brfree");
    EXPECT_EQ(network_of(free_port), nullptr);
    EXPECT_EQ(host_record("vethB"), nullptr); // not a port

    EXPECT_TRUE(logged("Network 'net1' with  bridge 'brnet' added"));
    // The temporary list is gone; the registry keeps its one network.
    EXPECT_EQ(kx::network_find_by_iface("vethA"), nullptr);
}

TEST_F(BridgeScan, OpenVswitchShowsThePhysicalDeviceInTheLinkedNetwork) {
    build_ovs_arrangement();
    ASSERT_EQ(kx::network_add_to_registry("phys", "br-eth1", 1), 0);
    ASSERT_EQ(kx::network_add_to_registry("net1", "brnet", 0), 0);

    kx::scan_bridges(); // without Open vSwitch: eth1 stays a port of br-eth1
    EXPECT_STREQ(text(host_record("eth1")->bridge), "br-eth1");
    EXPECT_STREQ(network_of(host_record("eth1")), "phys");

    kx::store_reset_for_tests();
    kx::state().ovs_enabled = 1;
    kx::scan_bridges();
    kx::iface_record *eth1 = host_record("eth1");
    ASSERT_NE(eth1, nullptr);
    EXPECT_STREQ(text(eth1->bridge), "brnet");
    EXPECT_STREQ(network_of(eth1), "net1");
    EXPECT_STREQ(network_of(host_record("veth-eth1.0")), "phys");
    EXPECT_STREQ(network_of(host_record("veth-eth1.1")), "net1");
}

TEST_F(BridgeScan, OpenVswitchBridgeWithoutNetworkChangesNothing) {
    build_ovs_arrangement();
    ASSERT_EQ(kx::network_add_to_registry("net1", "brnet", 0), 0);
    kx::state().ovs_enabled = 1;
    kx::scan_bridges();
    kx::iface_record *eth1 = host_record("eth1");
    ASSERT_NE(eth1, nullptr);
    EXPECT_STREQ(text(eth1->bridge), "br-eth1");
    EXPECT_EQ(network_of(eth1), nullptr);
    EXPECT_EQ(network_of(host_record("br-eth1")), nullptr);
}

namespace {

// A stand-in for ovs-vsctl that records each call and prints `listing`, as
// the switch's database answers "list Bridge" and "list Port".
void install_switch_listing(const std::string &listing) {
    const std::string root = ns::root();
    kxtest::make_dirs(ns::at("/usr/bin"));
    kxtest::write_file(root + "/listing", listing);
    kxtest::write_file(ns::at("/usr/bin/ovs-vsctl"),
                       "#!/bin/sh\necho \"$*\" >> " + root + "/calls\ncat " + root + "/listing\n", 0755);
}

} // namespace

// On a stock kernel the switch's devices are no bridges to sysfs or the
// bridge request: the switch's own listing names them and their ports.
TEST_F(BridgeScan, OpenVswitchBridgesComeFromTheSwitchListing) {
    ns::add_veth("sw0", "sw0peer"); // the switch's device for bridge sw0
    ns::add_veth("vh1", "vh1peer");
    ns::add_veth("vh2", "vh2peer");
    ns::add_bridge("lbr");
    ASSERT_EQ(kx::network_add_to_registry("net-s", "sw0", 0), 0);
    install_switch_listing("gone,u9\n"
                           "sw0,u1 u2 u3\n"
                           "\n"
                           "u1,vh2\nu2,sw0\nu3,vh1\nu9,vhx\n");
    kx::state().ovs_enabled = 1;
    kx::scan_bridges();

    kx::iface_record *sw0 = host_record("sw0");
    ASSERT_NE(sw0, nullptr);
    EXPECT_EQ(sw0->type, KXNETIF_BRIDGE);
    EXPECT_STREQ(network_of(sw0), "net-s");
    for (const char *port : {"vh1", "vh2"}) {
        kx::iface_record *record = host_record(port);
        ASSERT_NE(record, nullptr) << port;
        EXPECT_STREQ(text(record->bridge), "sw0");
        EXPECT_STREQ(network_of(record), "net-s");
    }
    EXPECT_EQ(host_record("lbr")->type, KXNETIF_BRIDGE) << "Linux bridges are still found";
    EXPECT_EQ(host_record("gone"), nullptr) << "a bridge without a device is not reported";
    EXPECT_EQ(host_record("vhx"), nullptr);
    // One call for the whole scan, not one per bridge.
    EXPECT_EQ(kxtest::read_file(ns::at("/calls")),
              "--timeout=5 --format=csv --data=bare --no-headings -- --columns=name,ports list Bridge "
              "-- --columns=_uuid,name list Port\n");

    // Inactive, the switch is not asked and its devices are no bridges.
    kx::store_reset_for_tests();
    kx::state().ovs_enabled = 0;
    kx::scan_bridges();
    EXPECT_EQ(host_record("sw0"), nullptr);
    EXPECT_EQ(host_record("vh1"), nullptr);
}

TEST_F(BridgeScan, SwitchThatDoesNotAnswerLeavesTheKernelsBridges) {
    build_ovs_arrangement();
    ASSERT_EQ(kx::network_add_to_registry("net1", "brnet", 0), 0);
    install_switch_listing("");
    kxtest::write_file(ns::at("/usr/bin/ovs-vsctl"), "#!/bin/sh\necho partial,x\nexit 1\n", 0755);
    kx::state().ovs_enabled = 1;
    kx::scan_bridges();
    EXPECT_STREQ(text(host_record("veth-eth1.1")->bridge), "brnet");
    EXPECT_STREQ(network_of(host_record("veth-eth1.1")), "net1");
    EXPECT_EQ(host_record("partial"), nullptr);
}
