// The host collectors that read files: the pair list with its header, the
// second device list, the VLAN table and the ifcfg boot protocol.
#include "netinfo/host_collectors.h"

#include "frame/state.h"
#include "netinfo/store.h"
#include "registry/model.h"
#include "test_support.h"
#include "vlan/naming.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using namespace kx;

namespace {

class HostCollectorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_reset_for_tests();
        veth_pairs_clear();
        state().suse_flag = 0;
    }
    void TearDown() override {
        store_reset_for_tests();
        veth_pairs_clear();
    }
    void put(const std::string &documented, const std::string &content) const {
        kxtest::write_file(root.at(documented), content);
    }

    kxtest::scratch_root root;
};

struct pair_seen {
    std::string host;
    std::string ct;
    int32_t ctid;
    bool operator==(const pair_seen &) const = default;
};

std::vector<pair_seen> pairs() {
    std::vector<pair_seen> out;
    for (const veth_pair &pair : registry_veth_pairs()) out.push_back({pair.host_name, pair.ct_name, pair.ctid});
    return out;
}

int live_count() { return static_cast<int>(store_live().size()); }

const std::vector<std::string> &strings_of(const std::vector<std::string> &list) { return list; }

const std::string veth = "/proc/kx/veth";

} // namespace

TEST_F(HostCollectorsTest, PairLineReportsBothEndsAndFillsThePairList) {
    put(veth, "Version: 1.0\n"
              "1 vethH 2 eth0 101\n"
              "short line with four\n"
              "\n"
              "1  vethK  2  eth1    7x\n");
    read_proc_veth(1);
    EXPECT_EQ(pairs(), (std::vector<pair_seen>{{"vethH", "eth0", 101}, {"vethK", "eth1", 7}}));

    iface_record *host = find_iface("vethH", 0, KXNETIF_VETH);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->peer_ctid(), 101);
    EXPECT_STREQ(host->peer_name(), "eth0");
    iface_record *ct = find_iface("eth0", 101, KXNETIF_VETH);
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(ct->peer_ctid(), 0);
    EXPECT_STREQ(ct->peer_name(), "vethH");
    EXPECT_NE(find_iface("eth1", 7, KXNETIF_VETH), nullptr);
    EXPECT_EQ(live_count(), 4);
}

TEST_F(HostCollectorsTest, PairListWithoutUpdateLeavesTheStoreAlone) {
    put(veth, "Version: 1.0\n1 vethH 2 eth0 101\n");
    read_proc_veth(0);
    EXPECT_EQ(pairs(), (std::vector<pair_seen>{{"vethH", "eth0", 101}}));
    EXPECT_EQ(live_count(), 0);
}

TEST_F(HostCollectorsTest, OnlyTheExactHeaderReplacesThePairList) {
    veth_pair_add("old", "oldct", 5);
    const std::vector<pair_seen> before{{"old", "oldct", 5}};
    for (const char *header : {"Version: 1.1\n", "Version: 1.0 \n", "Version: 1.0.1\n",
                               "Version:1.0\n", "version: 1.0\n", "Version: 1.0", ""}) {
        SCOPED_TRACE(header);
        put(veth, std::string(header) + (*header ? "" : "\n") + "1 vethH 2 eth0 101\n");
        read_proc_veth(1);
        EXPECT_EQ(pairs(), before);
        EXPECT_EQ(live_count(), 0);
    }
    std::remove(root.at(veth).c_str());
    read_proc_veth(1);
    EXPECT_EQ(pairs(), before);

    put(veth, "   Version:   1.0\n");
    read_proc_veth(1);
    EXPECT_TRUE(pairs().empty());
}

TEST_F(HostCollectorsTest, SecondDeviceListReportsFirstFieldsAsPairDevices) {
    put("/proc/kx/vmth", "Version: 1.0\n  vme0 extra\n\n   \nvme1\n");
    read_proc_vmth();
    EXPECT_NE(find_iface("vme0", 0, KXNETIF_VETH), nullptr);
    // A single field keeps no line break in its name.
    EXPECT_NE(find_iface("vme1", 0, KXNETIF_VETH), nullptr);
    EXPECT_EQ(live_count(), 2);

    store_reset_for_tests();
    put("/proc/kx/vmth", "Version: 2.0\nvme0\n");
    read_proc_vmth();
    EXPECT_EQ(live_count(), 0);
}

TEST_F(HostCollectorsTest, VlanLinesGiveDeviceIdAndUnderlyingDevice) {
    put("/proc/net/vlan/config", "VLAN Dev name    | VLAN ID\n"
                                 "Name-Type: VLAN_NAME_TYPE_PLUS_VID_NO_PAD\n"
                                 "eth0.5         | 5  | eth0\n"
                                 "vlan7|7\n"
                                 "lonely\n");
    vlan_name_type() = 3;
    read_vlan_devices();
    EXPECT_EQ(vlan_name_type(), 2);
    iface_record *vlan = find_iface("eth0.5", 0, KXNETIF_VLAN);
    ASSERT_NE(vlan, nullptr);
    EXPECT_EQ(vlan->vlan_id(), 5);
    EXPECT_STREQ(vlan->vlan_dev(), "eth0");
    iface_record *bare = find_iface("vlan7", 0, KXNETIF_VLAN);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->vlan_id(), 7);
    EXPECT_EQ(bare->mask & KXNETIF_F_VLAN_DEV, 0u);
    EXPECT_EQ(live_count(), 2);
    vlan_name_type() = 3;
}

TEST_F(HostCollectorsTest, BootProtocolCountsOnlyUncommentedDhcp) {
    const std::string dir = "/etc/sysconfig/network-scripts";
    put(dir + "/ifcfg-eth0", "DEVICE=eth0\n   \tBOOTPROTO=dhcp\n");
    // The tail of a long comment line is no line of its own.
    put(dir + "/ifcfg-eth1", "DEVICE=eth1\n# BOOTPROTO=dhcp\nBOOTPROTO=static\n# " +
                                 std::string(65533, 'x') + "BOOTPROTO=dhcp\n");
    iface_record *eth0 = iface_update("eth0", 0).type(KXNETIF_ETH).record();
    iface_record *eth1 = iface_update("eth1", 0).type(KXNETIF_ETH).record();
    iface_record *eth2 = iface_update("eth2", 0).type(KXNETIF_ETH).record();
    read_bootproto(*eth0, nullptr);
    read_bootproto(*eth1, nullptr);
    read_bootproto(*eth2, nullptr); // no file
    EXPECT_EQ(strings_of(find_iface("eth0", 0, KXNETIF_ETH)->conf_addrs),
              std::vector<std::string>{"dhcp"});
    EXPECT_TRUE(find_iface("eth1", 0, KXNETIF_ETH)->conf_addrs.empty());
    EXPECT_TRUE(find_iface("eth2", 0, KXNETIF_ETH)->conf_addrs.empty());
}

TEST_F(HostCollectorsTest, SecondBootProtocolMatchUpdatesTheCopyOfTheHeldRecord) {
    put("/etc/sysconfig/network-scripts/ifcfg-eth0",
        "BOOTPROTO=dhcp\nBOOTPROTO=\"dhcp\"\n");
    iface_record *held = iface_update("eth0", 0).type(KXNETIF_ETH).record();
    hold_iface(*held); // as a result list of an earlier query holds it
    read_bootproto(*held, nullptr);
    iface_record *current = find_iface("eth0", 0, KXNETIF_ETH);
    ASSERT_NE(current, held);
    EXPECT_TRUE(held->conf_addrs.empty());
    EXPECT_EQ(strings_of(current->conf_addrs), (std::vector<std::string>{"dhcp", "dhcp"}));
    EXPECT_EQ(live_count(), 1);
    release_iface(*held);
}
