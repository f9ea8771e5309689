// The selection of result lists over a store filled by hand: the filter's
// fields, the growing array and the holds it takes and drops.
#include "netinfo/selection.h"
#include "netinfo/store.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> selected(const kxnet_filter *filter) {
    kxnetif_info_list *list = kx::select_kxnetif_info(filter);
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
    kx::update_named_kxnetif_info("br0", 0, KXNETIF_F_TYPE, kx::int_value(KXNETIF_BRIDGE));
    kx::update_last_kxnetif_info(KXNETIF_F_NETWORK_ID, kx::str_value("net1"));
    kx::update_named_kxnetif_info("eth0", 0, KXNETIF_F_BRIDGE, kx::str_value("br0"));
    kx::update_named_kxnetif_info("eth0", -3, KXNETIF_F_TYPE, kx::int_value(KXNETIF_ETH));

    EXPECT_EQ(selected(nullptr), (std::vector<std::string>{"eth0@-3", "eth0@0", "br0@0"}));
    kxnet_filter f{KXNETIF_ALL, nullptr, nullptr, nullptr, -5, 0};
    EXPECT_EQ(selected(&f).size(), 3u) << "the range compares signed";
    f.ctid_min = 0;
    EXPECT_EQ(selected(&f), (std::vector<std::string>{"eth0@0", "br0@0"}));
    f.type_mask = KXNETIF_BRIDGE | KXNETIF_ETH;
    EXPECT_EQ(selected(&f), std::vector<std::string>{"br0@0"}) << "eth0 on the host is still unknown";
    f.type_mask = KXNETIF_ALL;
    f.network_id = const_cast<char *>("net1");
    EXPECT_EQ(selected(&f), std::vector<std::string>{"br0@0"}) << "a record without an id fails";
    f.network_id = nullptr;
    f.bridge = const_cast<char *>("br0");
    EXPECT_EQ(selected(&f), std::vector<std::string>{"eth0@0"});
    f.bridge = nullptr;
    f.name = const_cast<char *>("br");
    EXPECT_TRUE(selected(&f).empty()) << "names compare whole";
}

TEST_F(Selection, ArrayGrowsPastEveryDoublingAndHoldsEachRecordOnce) {
    std::vector<std::string> made;
    for (int i = 0; i < 33; ++i) {
        const std::string name = "d" + std::to_string(i);
        kx::update_named_kxnetif_info(name.c_str(), 0, KXNETIF_F_STATE, kx::int_value(1));
        made.insert(made.begin(), name + "@0");
    }
    kxnetif_info_list *list = kx::select_kxnetif_info(nullptr);
    ASSERT_NE(list, nullptr);
    size_t count = 0;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item, ++count) {
        EXPECT_EQ((*item)->name + std::string("@0"), made[count]);
        EXPECT_EQ((*item)->refcount, 1);
    }
    EXPECT_EQ(count, 33u);
    kx::release_kxnetif_info_list(list);
    EXPECT_EQ(kx::store_live_head()->refcount, 0) << "live records stay after the release";

    kxnet_filter none{KXNETIF_ALL, nullptr, nullptr, nullptr, 1, 0};
    EXPECT_TRUE(selected(&none).empty());
    kx::release_kxnetif_info_list(nullptr);
}

} // namespace
