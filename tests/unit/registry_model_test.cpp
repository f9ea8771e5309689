// The registry lists: network interfaces and their promotion, searches,
// VLAN and address records, virtual pairs, and freeing a network list.
#include "frame/command.h"
#include "registry/model.h"
#include "test_support.h"
#include "vlan/naming.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ifaces_of(kxnet_network *network) {
    std::vector<std::string> names;
    for (kxnet_iface *iface : kx::records<kxnet_iface>(network->ifaces))
        names.push_back(iface->name);
    return names;
}

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

TEST_F(RegistryModel, RemovingThePhysicalInterfacePromotesTheNext) {
    ASSERT_EQ(kx::network_add_to_registry("web", "br0", 0), 0);
    kxnet_network *net = kx::network_find_by_bridge("br0");
    ASSERT_NE(net, nullptr);
    kx::copy_ifname(net->phys_iface, "eth1");
    kx::network_iface_add(net, "eth2");
    kx::network_iface_add(net, "eth3");

    kx::network_iface_remove(net, "eth9"); // not held: no change
    EXPECT_EQ(ifaces_of(net), (std::vector<std::string>{"eth2", "eth3"}));
    kx::network_iface_remove(net, "eth1");
    EXPECT_STREQ(net->phys_iface, "eth2");
    EXPECT_EQ(ifaces_of(net), (std::vector<std::string>{"eth3"}));
    kx::network_iface_remove(net, "eth3");
    EXPECT_STREQ(net->phys_iface, "eth2");
    EXPECT_TRUE(ifaces_of(net).empty());
    kx::network_iface_remove(net, "eth2");
    EXPECT_STREQ(net->phys_iface, "");
    kx::network_iface_remove(nullptr, "eth2");
}

TEST_F(RegistryModel, SearchesReturnTheFirstMatchInOrder) {
    EXPECT_EQ(kx::network_add_to_registry(nullptr, "br9", 0), 1);
    kx::network_add_to_registry("web", "br0", 0);
    kx::network_add_to_registry("db", "br1", 1);
    kx::network_add_to_registry("web", "br2", 0);
    auto &list = kx::registry_networks();
    auto *first = reinterpret_cast<kxnet_network *>(list.link.next);
    auto *second = reinterpret_cast<kxnet_network *>(first->link.next);
    auto *third = reinterpret_cast<kxnet_network *>(second->link.next);
    kx::copy_ifname(second->phys_iface, "eth1");
    kx::network_iface_add(second, "eth5");
    kx::copy_ifname(third->phys_iface, "eth5");

    EXPECT_EQ(kx::network_find_by_id("web"), first);
    EXPECT_EQ(kx::network_find_by_id("we"), nullptr);
    EXPECT_EQ(kx::network_find_by_bridge("br1"), second);
    EXPECT_EQ(kx::network_find_by_iface("eth1"), second);
    EXPECT_EQ(kx::network_find_by_iface("eth5"), second); // further iface, earlier network
    EXPECT_EQ(kx::network_find_by_iface(list, "eth5"), second);
    EXPECT_EQ(kx::network_find_by_iface("eth7"), nullptr);
    EXPECT_EQ(second->preexisting, 1);

    auto log = kxtest::log_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Network 'web' with  bridge 'br0' added"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Network 'db' with linux bridge 'br1' added"),
              log.end());
}

TEST_F(RegistryModel, LongNamesAreFoundAsTheyWereStored) {
    kx::network_add_to_registry("n", "bridge-name-of-20ch", 0);
    kxnet_network *net = kx::network_find_by_bridge("bridge-name-of-20ch");
    ASSERT_NE(net, nullptr);
    EXPECT_STREQ(net->bridge, "bridge-name-of-");
    kx::vlan_add("device-name-long-1", 5);
    kx::vlan_add("device-name-long-1", 5);
    EXPECT_EQ(kx::registry_vlans().next->next, &kx::registry_vlans()); // one parent
    const char *text = "10.200.300.400/24-extra";                      // 23 characters
    kx::addr_add("eth0", text);
    kx::addr_add("eth0", text);
    kx::addr_parent *parent = kx::addr_find_parent("eth0");
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(parent->entries.next->next, &parent->entries); // one entry
    EXPECT_STREQ(kx::addr_find(parent, text)->text, "10.200.300.400/24-e");
}

TEST_F(RegistryModel, VlansAreUniquePerDeviceAndEmptyDevicesGo) {
    kx::vlan_name_type() = 3;
    kx::vlan_parent *parent = kx::vlan_add("eth0", 100);
    ASSERT_EQ(kx::vlan_add("eth0", 100), parent);
    kx::vlan_name_type() = 2;
    kx::vlan_add("eth0", 200);
    std::vector<std::string> names;
    for (kx::vlan_entry *e : kx::records<kx::vlan_entry>(parent->entries)) names.push_back(e->name);
    EXPECT_EQ(names, (std::vector<std::string>{"eth0.100", "vlan200"})); // names keep their type
    EXPECT_EQ(kx::vlan_find(parent, 300), nullptr);

    kx::vlan_remove(parent, kx::vlan_find(parent, 100));
    EXPECT_EQ(kx::vlan_find_parent("eth0"), parent);
    kx::vlan_remove(parent, kx::vlan_find(parent, 200));
    EXPECT_EQ(kx::vlan_find_parent("eth0"), nullptr);
    EXPECT_TRUE(kx::list_empty(kx::registry_vlans()));
}

TEST_F(RegistryModel, AddressesKeepOrderAnd19Characters) {
    kx::addr_add("eth0", "10.0.0.1/24");
    kx::addr_add("eth1", "10.0.1.1/24");
    kx::addr_add("eth0", "1234567890123456789012345");
    kx::addr_add("eth0", "10.0.0.1/24");
    kx::addr_parent *eth0 = kx::addr_find_parent("eth0");
    std::vector<std::string> texts;
    for (kx::addr_entry *e : kx::records<kx::addr_entry>(eth0->entries)) texts.push_back(e->text);
    EXPECT_EQ(texts, (std::vector<std::string>{"10.0.0.1/24", "1234567890123456789"}));
    kx::addr_parent_remove(eth0);
    EXPECT_EQ(kx::addr_find_parent("eth0"), nullptr);
    EXPECT_NE(kx::addr_find_parent("eth1"), nullptr);
}

TEST_F(RegistryModel, FreeingAListLeavesItsHeadEmpty) {
    kxnet_network_list own;
    kx::list_init(own.link);
    kxnet_network *net = kx::network_add(own, "x", "brx", 0);
    kx::network_iface_add(net, "eth4");
    kx::network_add(own, "y", "bry", 0);
    kxnet_free_networks(&own);
    EXPECT_TRUE(kx::list_empty(own.link));
    kxnet_free_networks(nullptr);
}

} // namespace
