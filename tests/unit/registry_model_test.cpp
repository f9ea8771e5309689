// The registry lists: network interfaces and their promotion, searches,
// VLAN and address records, and freeing a caller's network list.
#include "netops/public_list.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "test_support.h"
#include "vlan/naming.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class RegistryModel : public ::testing::Test {
protected:
    void TearDown() override {
        kx::networks_clear();
        kx::vlans_clear();
        kx::addrs_clear();
        kx::veth_pairs_clear();
    }
    kxtest::scratch_root root_;
};

using names = std::vector<std::string>;

TEST_F(RegistryModel, RemovingThePhysicalInterfacePromotesTheNext) {
    ASSERT_EQ(kx::network_add_to_registry("web", "br0", 0), 0);
    kx::network *net = kx::network_find_by_bridge("br0");
    ASSERT_NE(net, nullptr);
    net->set_phys_iface("eth1");
    kx::network_iface_add(net, "eth2");
    kx::network_iface_add(net, "eth3");

    kx::network_iface_remove(net, "eth9"); // not held: no change
    EXPECT_EQ(net->ifaces(), (names{"eth2", "eth3"}));
    kx::network_iface_remove(net, "eth1");
    EXPECT_EQ(net->phys_iface(), "eth2");
    EXPECT_EQ(net->ifaces(), names{"eth3"});
    kx::network_iface_remove(net, "eth3");
    EXPECT_EQ(net->phys_iface(), "eth2");
    EXPECT_TRUE(net->ifaces().empty());
    kx::network_iface_remove(net, "eth2");
    EXPECT_EQ(net->phys_iface(), "");
    kx::network_iface_remove(nullptr, "eth2");
}

TEST_F(RegistryModel, SearchesReturnTheFirstMatchInOrder) {
    EXPECT_EQ(kx::network_add_to_registry(nullptr, "br9", 0), -EINVAL);
    kx::network_add_to_registry("web", "br0", 0);
    kx::network_add_to_registry("db", "br1", 1);
    kx::network_add_to_registry("web", "br2", 0);
    kx::network_add_to_registry("dup", "br1", 0);
    std::vector<kx::network *> in_order;
    for (kx::network &n : kx::registry_networks()) in_order.push_back(&n);
    ASSERT_EQ(in_order.size(), 4u);
    kx::network *first = in_order[0], *second = in_order[1], *third = in_order[2];
    second->set_phys_iface("eth1");
    kx::network_iface_add(second, "eth5");
    third->set_phys_iface("eth5");

    EXPECT_EQ(kx::network_find_by_id("web"), first);
    EXPECT_EQ(kx::network_find_by_id("we"), nullptr);
    EXPECT_EQ(kx::network_find_by_bridge("br1"), second);
    EXPECT_EQ(kx::network_find_by_iface("eth1"), second);
    EXPECT_EQ(kx::network_find_by_iface("eth5"), second); // further iface, earlier network
    EXPECT_EQ(kx::network_find_by_iface(kx::registry_networks(), "eth5"), second);
    EXPECT_EQ(kx::network_find_by_iface("eth7"), nullptr);
    EXPECT_TRUE(second->preexisting());

    // With the first network of a bridge gone, the bridge's next one answers.
    kx::network_remove(second);
    EXPECT_EQ(kx::network_find_by_bridge("br1"), in_order[3]);
    kx::network_remove(in_order[3]);
    EXPECT_EQ(kx::network_find_by_bridge("br1"), nullptr);
    EXPECT_EQ(kx::network_find_by_bridge("br2"), third);

    auto log = kxtest::log_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Network 'web' with  bridge 'br0' added"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Network 'db' with linux bridge 'br1' added"),
              log.end());
}

TEST_F(RegistryModel, LongNamesAreFoundAsTheyWereStored) {
    kx::network_add_to_registry("n", "bridge-name-of-20ch", 0);
    kx::network *net = kx::network_find_by_bridge("bridge-name-of-20ch");
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->bridge(), "bridge-name-of-");
    net->set_phys_iface("interface-name-long");
    EXPECT_EQ(kx::network_find_by_iface("interface-name-"), net);
    kx::vlan_add("device-name-long-1", 5);
    kx::vlan_add("device-name-long-1", 5);
    ASSERT_NE(kx::vlan_find_parent("device-name-lon"), nullptr);
    EXPECT_EQ(kx::vlan_find_parent("device-name-lon")->entries().size(), 1u);
    const char *text = "10.200.300.400/24-extra"; // 23 characters
    kx::addr_add("eth0", text);
    kx::addr_add("eth0", text);
    kx::addr_parent *parent = kx::addr_find_parent("eth0");
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(parent->entries().size(), 1u);
    EXPECT_EQ(kx::addr_find(parent, text)->text, "10.200.300.400/24-e");
}

TEST_F(RegistryModel, VlansAreUniquePerDeviceAndEmptyDevicesGo) {
    kx::vlan_name_type() = 3;
    kx::vlan_parent *parent = kx::vlan_add("eth0", 100);
    ASSERT_EQ(kx::vlan_add("eth0", 100), parent);
    kx::vlan_name_type() = 2;
    kx::vlan_add("eth0", 200);
    names got;
    for (const kx::vlan_entry &e : parent->entries()) got.push_back(e.name);
    EXPECT_EQ(got, (names{"eth0.100", "vlan200"})); // names keep their type
    EXPECT_EQ(kx::vlan_find(parent, 300), nullptr);

    kx::vlan_remove(parent, kx::vlan_find(parent, 100));
    EXPECT_EQ(kx::vlan_find_parent("eth0"), parent);
    kx::vlan_remove(parent, kx::vlan_find(parent, 200));
    EXPECT_EQ(kx::vlan_find_parent("eth0"), nullptr);
    EXPECT_TRUE(kx::registry_vlans().empty());
}

// Past a few entries a device's entries are found through an index: it must
// follow every removal, or a removed id would count as held.
TEST_F(RegistryModel, ManyVlansOverOneDeviceStayFindableAcrossRemovals) {
    kx::vlan_parent *parent = nullptr;
    for (int vid = 1; vid <= 40; ++vid) parent = kx::vlan_add("eth0", vid);
    ASSERT_NE(parent, nullptr);
    for (int vid = 1; vid <= 40; vid += 2) kx::vlan_remove(parent, kx::vlan_find(parent, vid));
    ASSERT_EQ(parent->entries().size(), 20u);
    for (int vid = 1; vid <= 40; ++vid) {
        const kx::vlan_entry *entry = kx::vlan_find(parent, vid);
        if (vid % 2 == 1) {
            EXPECT_EQ(entry, nullptr) << vid;
        } else {
            ASSERT_NE(entry, nullptr) << vid;
            EXPECT_EQ(entry->vid, vid);
        }
    }
    EXPECT_EQ(kx::vlan_add("eth0", 3), parent);
    EXPECT_EQ(parent->entries().back().vid, 3);
    EXPECT_EQ(parent->entries().size(), 21u);
}

TEST_F(RegistryModel, AddressesKeepOrderAnd19Characters) {
    kx::addr_add("eth0", "10.0.0.1/24");
    kx::addr_add("eth1", "10.0.1.1/24");
    kx::addr_add("eth0", "1234567890123456789012345");
    kx::addr_add("eth0", "10.0.0.1/24");
    kx::addr_parent *eth0 = kx::addr_find_parent("eth0");
    names texts;
    for (const kx::addr_entry &e : eth0->entries()) texts.push_back(e.text);
    EXPECT_EQ(texts, (names{"10.0.0.1/24", "1234567890123456789"}));
    kx::addr_parent_remove(eth0);
    EXPECT_EQ(kx::addr_find_parent("eth0"), nullptr);
    EXPECT_NE(kx::addr_find_parent("eth1"), nullptr);
    kx::addr_add("eth0", "10.0.0.2/24"); // the device comes back after eth1
    names devices;
    for (const kx::addr_parent &p : kx::registry_addrs()) devices.push_back(p.name());
    EXPECT_EQ(devices, (names{"eth1", "eth0"}));
}

TEST_F(RegistryModel, FreeingAListLeavesItsHeadEmpty) {
    kx::network_add_to_registry("x", "brx", 0);
    kx::network_iface_add(kx::network_find_by_id("x"), "eth4");
    kx::network_find_by_id("x")->set_phys_iface("eth3");
    kx::network_add_to_registry("y", "bry", 0);
    kxtest::make_dirs(root_.at("/etc/kx"));
    ASSERT_EQ(kx::registry_save(), 0);
    kxnet_network_list *own = kxnet_get_configured_networks();
    ASSERT_NE(own, nullptr);
    kxnet_free_networks(own);
    EXPECT_TRUE(kx::list_empty(own->link));
    free(own);
    kxnet_free_networks(nullptr);
}

} // namespace
