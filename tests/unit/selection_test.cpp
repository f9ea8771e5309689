// The selection of result lists over a store filled by hand: the filter's
// fields, the growing array and the holds it takes and drops.
#include "netinfo/selection.h"
#include "netinfo/store.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> selected(const kx::selection &chosen = {}) {
    kxnetif_info_list *list = kx::select_kxnetif_info(chosen);
    std::vector<std::string> names;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item)
        names.push_back((*item)->name + std::string("@") + std::to_string((*item)->ctid));
    kx::release_kxnetif_info_list(list);
    return names;
}

class Selection : public ::testing::Test {
protected:
    void TearDown() override { kx::store_reset_for_tests(); }
};

TEST_F(Selection, FilterFieldsMustAllMatch) {
    kx::iface_update("br0", 0).type(KXNETIF_BRIDGE).network_id("net1");
    kx::iface_update("eth0", 0).bridge("br0");
    kx::iface_update("eth0", -3).type(KXNETIF_ETH);

    EXPECT_EQ(selected(), (std::vector<std::string>{"eth0@-3", "eth0@0", "br0@0"}));
    kx::selection f = kx::records_in(-5, 0);
    EXPECT_EQ(selected(f).size(), 3u) << "the range compares signed";
    f.ctid_min = 0;
    EXPECT_EQ(selected(f), (std::vector<std::string>{"eth0@0", "br0@0"}));
    f.type_mask = KXNETIF_BRIDGE | KXNETIF_ETH;
    EXPECT_EQ(selected(f), std::vector<std::string>{"br0@0"}) << "eth0 on the host is still unknown";
    f.type_mask = KXNETIF_ALL;
    f.network_id = "net1";
    EXPECT_EQ(selected(f), std::vector<std::string>{"br0@0"}) << "a record without an id fails";
    f.network_id = nullptr;
    f.bridge = "br0";
    EXPECT_EQ(selected(f), std::vector<std::string>{"eth0@0"});
    f.bridge = nullptr;
    f.name = "br";
    EXPECT_TRUE(selected(f).empty()) << "names compare whole";
}

TEST_F(Selection, ListsHandOutEveryRecordOnceInStoreOrder) {
    std::vector<std::string> made;
    for (int i = 0; i < 33; ++i) {
        const std::string name = "d" + std::to_string(i);
        kx::iface_update(name.c_str(), 0).state(1);
        made.insert(made.begin(), name + "@0");
    }
    EXPECT_EQ(selected(), made);
    EXPECT_TRUE(selected(kx::records_in(1, 0)).empty());
    kx::release_kxnetif_info_list(nullptr);
}

// A handed-out record shows its store record field by field, is shared by
// the lists that hold it, and stays as it was once retired until released.
TEST_F(Selection, PublicRecordsMirrorTheStoreAndOutliveRetirement) {
    kx::store_set_generation(5);
    kx::store_set_scope(0, kx::scope_phase_registry);
    kx::iface_update("eth0", 0).type(KXNETIF_VETH).addrs("10.0.0.1/24 fe80::1/64").peer_name("ceth").peer_ctid(7);
    kx::iface_update("vl", 0).type(KXNETIF_VLAN).vlan_dev("eth0").vlan_id(5).alt_name("alt").hwaddr("00:01:02:03:04:05");
    kxnetif_info_list *first = kx::select_kxnetif_info({});
    kxnetif_info_list *second = kx::select_kxnetif_info({});
    ASSERT_TRUE(first && second);
    const kxnetif_info *vl = first->items[0], *eth = first->items[1];
    ASSERT_EQ(first->items[2], nullptr);
    EXPECT_EQ(second->items[0], vl) << "one record, shared";
    EXPECT_EQ(vl->refcount, 2);
    EXPECT_STREQ(vl->name, "vl");
    EXPECT_STREQ(vl->alt_name, "alt");
    EXPECT_STREQ(vl->hwaddr, "00:01:02:03:04:05");
    EXPECT_STREQ(vl->vlan_dev, "eth0");
    EXPECT_EQ(vl->vlan_id, 5);
    EXPECT_EQ(vl->addrs, nullptr);
    EXPECT_EQ(vl->bridge, nullptr);
    EXPECT_EQ(eth->alt_name, eth->name) << "no alternative name: the name's own storage";
    ASSERT_NE(eth->addrs, nullptr);
    EXPECT_STREQ(eth->addrs[0], "10.0.0.1/24");
    EXPECT_STREQ(eth->addrs[1], "fe80::1/64");
    EXPECT_EQ(eth->addrs[2], nullptr);
    EXPECT_STREQ(eth->peer_name, "ceth");
    EXPECT_EQ(eth->peer_ctid, 7);
    EXPECT_EQ(eth->mask, 6u | KXNETIF_F_TYPE | KXNETIF_F_ADDRS | KXNETIF_F_PEER_NAME | KXNETIF_F_PEER_CTID);
    EXPECT_EQ(eth->stamp, 5);
    EXPECT_EQ(eth->addrs_stamp, 5);
    EXPECT_EQ(eth->scope_phase, kx::scope_phase_registry);

    kx::store_advance_generation();
    kx::iface_update("vl", 0).vlan_id(5); // a confirmation of a held record
    EXPECT_EQ(vl->stamp, 6);
    kx::iface_update("vl", 0).vlan_id(6); // a change: a copy takes its place
    EXPECT_EQ(vl->stamp, -1);
    EXPECT_EQ(vl->vlan_id, 5);
    kx::release_kxnetif_info_list(second);
    EXPECT_EQ(vl->refcount, 1);
    EXPECT_STREQ(vl->vlan_dev, "eth0") << "still readable while the first list holds it";
    kx::release_kxnetif_info_list(first);
    EXPECT_TRUE(kx::store_retired().empty());
    EXPECT_EQ(kx::store_live().front().published, nullptr) << "no list, no public form";
}

} // namespace
