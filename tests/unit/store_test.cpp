// The information store: record creation, lookups by kind, the address list
// rule, copy on write for held records, kind changes, generations and sweeps.
#include "netinfo/store.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace kx;

namespace {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { store_reset_for_tests(); }
    void TearDown() override { store_reset_for_tests(); }
};

std::vector<std::string> strings_of(char **list) {
    std::vector<std::string> out;
    for (size_t i = 0; list && list[i]; ++i) out.emplace_back(list[i]);
    return out;
}

int live_count() {
    int n = 0;
    for (kxnetif_info *r = store_live_head(); r; r = r->next) ++n;
    return n;
}

kxnetif_info *named(const char *name, int32_t ctid, uint32_t key, kxnetif_value value) {
    return update_named_kxnetif_info(name, ctid, key, value);
}

// A result list holding `record` (what the query does when it hands it out).
void hold(kxnetif_info *record) { ++record->refcount; }

} // namespace

TEST_F(StoreTest, NewRecordStartsUnknownWithNameAndCtidAndTakesTheKey) {
    kxnetif_info *r = named("eth0", 7, KXNETIF_F_STATE, int_value(KXNETIF_STATE_UP));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, KXNETIF_UNKNOWN);
    EXPECT_EQ(r->mask, 6u | KXNETIF_F_STATE);
    EXPECT_STREQ(r->name, "eth0");
    EXPECT_EQ(r->alt_name, r->name); // shared until set
    EXPECT_EQ(r->ctid, 7);
    EXPECT_EQ(r->state, 1u);
    EXPECT_EQ(store_last_ib(), r);
    EXPECT_EQ(find_kxnetif_info("eth0", 7, KXNETIF_UNKNOWN), r);
    EXPECT_EQ(find_kxnetif_info("eth0", 0, KXNETIF_ALL), nullptr); // other container
    EXPECT_EQ(find_kxnetif_info(nullptr, 7, KXNETIF_ALL), nullptr);
}

TEST_F(StoreTest, UpdatesOfOneInterfaceLandOnOneRecord) {
    kxnetif_info *r = named("eth0", 0, KXNETIF_F_TYPE, int_value(KXNETIF_ETH));
    EXPECT_EQ(update_last_kxnetif_info(KXNETIF_F_HWADDR, str_value("00:11:22:33:44:55")), r);
    EXPECT_EQ(update_last_kxnetif_info(KXNETIF_F_ALT_NAME, str_value("uplink")), r);
    EXPECT_EQ(named("eth0", 0, KXNETIF_F_FLAGS, int_value(0x1003)), r);
    EXPECT_EQ(live_count(), 1);
    EXPECT_STREQ(r->alt_name, "uplink");
    EXPECT_STREQ(r->hwaddr, "00:11:22:33:44:55");
    EXPECT_EQ(r->flags, 0x1003u);
    EXPECT_EQ(find_kxnetif_info("eth0", 0, KXNETIF_ETH), r);
    EXPECT_EQ(find_kxnetif_info("eth0", 0, KXNETIF_UNKNOWN), nullptr); // re-indexed
}

TEST_F(StoreTest, AnyKindLookupTriesEthBeforeUnknown) {
    kxnetif_info *unknown = named("x", 3, 0, 0);
    kxnetif_info *other = named("y", 3, KXNETIF_F_TYPE, int_value(KXNETIF_ETH));
    EXPECT_EQ(find_kxnetif_info("x", 3, KXNETIF_ALL), unknown);
    // A held record updated under another name leaves its copy under that
    // name: now an ETH and an UNKNOWN record are both named "x".
    hold(other);
    kxnetif_info *eth = raw_update_kxnetif_info(other, "x", 3, KXNETIF_F_STATE, int_value(1));
    ASSERT_NE(eth, nullptr);
    ASSERT_NE(eth, unknown);
    EXPECT_EQ(find_kxnetif_info("x", 3, KXNETIF_ALL), eth);
    EXPECT_EQ(find_kxnetif_info("x", 3, KXNETIF_UNKNOWN), unknown);
    EXPECT_EQ(find_kxnetif_info("y", 3, KXNETIF_ALL), nullptr);
    release_kxnetif_info(other);
}

TEST_F(StoreTest, AddressesAccumulateWithinAGenerationAndRestartInTheNext) {
    kxnetif_info *r = named("eth0", 0, KXNETIF_F_ADDRS, str_value("10.0.0.1/24  10.0.0.2/24"));
    update_last_kxnetif_info(KXNETIF_F_ADDRS, str_value("  fe80::1/64"));
    EXPECT_EQ(strings_of(r->addrs),
              (std::vector<std::string>{"10.0.0.1/24", "10.0.0.2/24", "fe80::1/64"}));

    store_advance_generation();
    update_last_kxnetif_info(KXNETIF_F_ADDRS, str_value("192.168.1.5/16"));
    EXPECT_EQ(strings_of(r->addrs), (std::vector<std::string>{"192.168.1.5/16"}));

    // A value without tokens in a new generation leaves the list empty but marks the key.
    store_advance_generation();
    update_last_kxnetif_info(KXNETIF_F_CONF_ADDRS, str_value("   "));
    EXPECT_EQ(r->conf_addrs, nullptr);
    EXPECT_TRUE(r->mask & KXNETIF_F_CONF_ADDRS);
}

TEST_F(StoreTest, HeldRecordIsCopiedAndKeepsItsValuesUntilReleased) {
    kxnetif_info *held = named("eth0", 0, KXNETIF_F_HWADDR, str_value("00:00:00:00:00:01"));
    update_last_kxnetif_info(KXNETIF_F_ADDRS, str_value("10.1.1.1/8"));
    named("eth1", 0, 0, 0);
    hold(held);

    kxnetif_info *fresh = named("eth0", 0, KXNETIF_F_HWADDR, str_value("00:00:00:00:00:02"));
    ASSERT_NE(fresh, held);
    EXPECT_EQ(store_live_head(), fresh);
    EXPECT_EQ(store_last_ib(), fresh);
    EXPECT_EQ(find_kxnetif_info("eth0", 0, KXNETIF_ALL), fresh);
    EXPECT_STREQ(fresh->hwaddr, "00:00:00:00:00:02");
    EXPECT_EQ(strings_of(fresh->addrs), std::vector<std::string>{"10.1.1.1/8"});
    EXPECT_NE(fresh->addrs, held->addrs); // copied, not shared
    EXPECT_EQ(fresh->alt_name, fresh->name);

    EXPECT_STREQ(held->hwaddr, "00:00:00:00:00:01");
    EXPECT_EQ(held->stamp, -1);
    EXPECT_EQ(store_retired_head(), held);
    EXPECT_EQ(live_count(), 2);

    release_kxnetif_info(held); // the last list holding it goes
    EXPECT_EQ(store_retired_head(), nullptr);
}

TEST_F(StoreTest, HeldRecordOnlyConfirmedByAnEqualValue) {
    kxnetif_info *r = named("eth0", 0, KXNETIF_F_STATE, int_value(KXNETIF_STATE_UP));
    hold(r);
    uint32_t mask = r->mask;
    store_advance_generation();

    EXPECT_EQ(named("eth0", 0, KXNETIF_F_BRIDGE, str_value(nullptr)), r);
    EXPECT_EQ(named("eth0", 0, KXNETIF_F_STATE, int_value(KXNETIF_STATE_UP)), r);
    EXPECT_EQ(named("eth0", 0, 0, 0), r);
    EXPECT_EQ(r->mask, mask);
    EXPECT_EQ(r->stamp, store_generation()); // confirmed in this generation
    EXPECT_EQ(live_count(), 1);
    EXPECT_EQ(store_retired_head(), nullptr);

    // Address keys always change a held record.
    kxnetif_info *copy = named("eth0", 0, KXNETIF_F_ADDRS, str_value("10.0.0.9/24"));
    EXPECT_NE(copy, r);
    release_kxnetif_info(r);
}

TEST_F(StoreTest, ChangeBetweenHardKindsReplacesEvenAnUnheldRecord) {
    kxnetif_info *veth = named("veth-a", 0, KXNETIF_F_TYPE, int_value(KXNETIF_VETH));
    update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value("eth0"));
    update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(101));
    update_last_kxnetif_info(KXNETIF_F_NETWORK_ID, str_value("net1"));
    update_last_kxnetif_info(KXNETIF_F_ADDRS, str_value("10.0.0.1/24"));

    kxnetif_info *bridge = named("veth-a", 0, KXNETIF_F_TYPE, int_value(KXNETIF_BRIDGE));
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(live_count(), 1);
    EXPECT_EQ(store_retired_head(), nullptr); // unheld old record freed
    EXPECT_EQ(bridge->type, KXNETIF_BRIDGE);
    EXPECT_STREQ(bridge->network_id, "net1");
    EXPECT_EQ(strings_of(bridge->addrs), std::vector<std::string>{"10.0.0.1/24"});
    EXPECT_TRUE(bridge->mask & KXNETIF_F_PEER_NAME);
    // The pair's string left with its kind; nothing of it is read as the new kind's.
    EXPECT_EQ(bridge->peer_name, nullptr);
    EXPECT_EQ(bridge->vlan_dev, nullptr);
    EXPECT_EQ(find_kxnetif_info("veth-a", 0, KXNETIF_BRIDGE), bridge);
    EXPECT_EQ(find_kxnetif_info("veth-a", 0, KXNETIF_VETH), nullptr);
    (void)veth;

    // VETH to VLAN: slot A must not inherit the peer's string or id.
    named("p", 0, KXNETIF_F_TYPE, int_value(KXNETIF_VETH));
    update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value("q"));
    kxnetif_info *vlan = update_last_kxnetif_info(KXNETIF_F_TYPE, int_value(KXNETIF_VLAN));
    EXPECT_EQ(vlan->vlan_dev, nullptr);
    EXPECT_EQ(vlan->vlan_id, 0);
    update_last_kxnetif_info(KXNETIF_F_VLAN_DEV, str_value("eth0"));
    EXPECT_STREQ(vlan->vlan_dev, "eth0");
}

// A slot means what the last key applied to it says: a string key makes it an
// owned string, an integer key releases that string first.  Nothing leaks
// (LeakSanitizer) and no integer is ever read as a pointer.
TEST_F(StoreTest, SlotsFollowTheLastKeyWithoutLeakingOrMisreading) {
    kxnetif_info *vlan = named("eth0.5", 0, KXNETIF_F_TYPE, int_value(KXNETIF_VLAN));
    update_last_kxnetif_info(KXNETIF_F_VLAN_DEV, str_value("eth0"));
    update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(5));
    EXPECT_EQ(vlan->peer_ctid, 5);
    update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value("x"));
    EXPECT_STREQ(vlan->peer_name, "x");
    EXPECT_EQ(vlan->mask & (KXNETIF_F_PEER_CTID | KXNETIF_F_PEER_NAME),
              uint32_t(KXNETIF_F_PEER_CTID | KXNETIF_F_PEER_NAME));
    update_last_kxnetif_info(KXNETIF_F_VLAN_ID, int_value(7));
    EXPECT_EQ(vlan->vlan_id, 7);

    // A soft kind takes a peer name; becoming VETH empties it.
    kxnetif_info *eth = named("eth1", 0, KXNETIF_F_PEER_NAME, str_value("peer"));
    EXPECT_STREQ(eth->peer_name, "peer");
    EXPECT_EQ(eth->mask, uint32_t(6 | KXNETIF_F_PEER_NAME));
    update_last_kxnetif_info(KXNETIF_F_TYPE, int_value(KXNETIF_VETH));
    EXPECT_EQ(eth->peer_name, nullptr);
}

TEST_F(StoreTest, BecomingVethEmptiesPeerNameOnlyFromAnotherKind) {
    kxnetif_info *r = named("v", 0, KXNETIF_F_VLAN_ID, int_value(42)); // soft kind, slot B int
    update_last_kxnetif_info(KXNETIF_F_TYPE, int_value(KXNETIF_VETH));
    EXPECT_EQ(r->peer_name, nullptr);
    update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value("peer0"));
    EXPECT_EQ(update_last_kxnetif_info(KXNETIF_F_TYPE, int_value(KXNETIF_VETH)), r);
    EXPECT_STREQ(r->peer_name, "peer0");
}

TEST_F(StoreTest, HeldVethCopyCarriesItsPeer) {
    kxnetif_info *r = named("veth-1", 0, KXNETIF_F_TYPE, int_value(KXNETIF_VETH));
    update_last_kxnetif_info(KXNETIF_F_PEER_NAME, str_value("eth0"));
    update_last_kxnetif_info(KXNETIF_F_PEER_CTID, int_value(101));
    hold(r);
    kxnetif_info *copy = named("veth-1", 0, KXNETIF_F_STATE, int_value(KXNETIF_STATE_DOWN));
    ASSERT_NE(copy, r);
    EXPECT_STREQ(copy->peer_name, "eth0");
    EXPECT_NE(copy->peer_name, r->peer_name);
    EXPECT_EQ(copy->peer_ctid, 101);
    EXPECT_EQ(r->state, 0u);
    release_kxnetif_info(r);
}

TEST_F(StoreTest, GenerationWrapsToZeroAndOldStampsCountAsUntouched) {
    store_set_generation(INT32_MAX);
    store_set_scope(12, scope_phase_collect);
    kxnetif_info *stale = named("a", 12, 0, 0);
    named("b", 12, 0, 0);
    store_set_scope(0, scope_phase_registry);
    named("registry-side", 12, 0, 0); // other scope: not swept
    EXPECT_EQ(stale->stamp, INT32_MAX);

    store_advance_generation();
    EXPECT_EQ(store_generation(), 0);
    store_set_scope(12, scope_phase_collect);
    named("b", 12, KXNETIF_F_STATE, int_value(1)); // touched in generation 0
    sweep_kxnetif_info();

    EXPECT_EQ(find_kxnetif_info("a", 12, KXNETIF_ALL), nullptr);
    EXPECT_NE(find_kxnetif_info("b", 12, KXNETIF_ALL), nullptr);
    EXPECT_NE(find_kxnetif_info("registry-side", 12, KXNETIF_ALL), nullptr);
    EXPECT_EQ(live_count(), 2);
}

TEST_F(StoreTest, RetireAllKeepsHeldRecordsAndStartsAFreshSet) {
    kxnetif_info *held = named("eth0", 0, KXNETIF_F_HWADDR, str_value("aa:bb:cc:dd:ee:ff"));
    named("eth1", 0, 0, 0);
    hold(held);
    store_retire_all();
    EXPECT_EQ(store_live_head(), nullptr);
    EXPECT_EQ(store_last_ib(), nullptr);
    EXPECT_EQ(store_retired_head(), held);
    EXPECT_EQ(find_kxnetif_info("eth0", 0, KXNETIF_ALL), nullptr);

    kxnetif_info *fresh = named("eth0", 0, 0, 0);
    EXPECT_NE(fresh, held);
    EXPECT_EQ(fresh->hwaddr, nullptr);
    EXPECT_STREQ(held->hwaddr, "aa:bb:cc:dd:ee:ff");
    release_kxnetif_info(held);
    EXPECT_EQ(store_retired_head(), nullptr);
}

// An update addressed to a record that a query has retired meanwhile goes
// to the interface's live record; the retired one stays as its holder saw it
// and the retired list stays a list (it looped before).
TEST_F(StoreTest, UpdateOfARetiredHeldRecordGoesToTheLiveOne) {
    kxnetif_info *held = named("eth0", 0, KXNETIF_F_ADDRS, str_value("10.0.0.1/24"));
    hold(held);
    store_retire_all();
    kxnetif_info *live = update_held_kxnetif_info(held, KXNETIF_F_CONF_ADDRS, str_value("dhcp"));
    ASSERT_NE(live, nullptr);
    EXPECT_NE(live, held);
    EXPECT_EQ(held->stamp, -1);
    EXPECT_EQ(held->conf_addrs, nullptr);
    EXPECT_EQ(find_kxnetif_info("eth0", 0, KXNETIF_ALL), live);
    EXPECT_EQ(store_retired_head(), held);
    EXPECT_EQ(held->next, nullptr);
    release_kxnetif_info(held);
    EXPECT_EQ(store_retired_head(), nullptr);
}

TEST_F(StoreTest, ContainerEntriesAreKeptApartAcrossManyContainers) {
    for (int32_t ct = 0; ct < 50; ++ct)
        for (int i = 0; i < 5; ++i) {
            std::string name = "eth" + std::to_string(i);
            named(name.c_str(), ct, KXNETIF_F_PEER_CTID2, int_value(ct * 10 + i));
        }
    for (int32_t ct = 49; ct >= 0; --ct)
        for (int i = 4; i >= 0; --i) {
            std::string name = "eth" + std::to_string(i);
            kxnetif_info *r = find_kxnetif_info(name.c_str(), ct, KXNETIF_ALL);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->ctid, ct);
            EXPECT_EQ(r->peer_ctid, ct * 10 + i);
        }
}

using StoreDeathTest = StoreTest;

TEST_F(StoreDeathTest, NameAndCtidKeysEndTheProcess) {
    kxnetif_info *r = named("eth0", 0, 0, 0);
    EXPECT_DEATH(imm_update_kxnetif_info(r, KXNETIF_F_NAME, 0),
                 "src/netinfo.*imm_update_kxnetif_info");
    EXPECT_DEATH(imm_update_kxnetif_info(r, KXNETIF_F_CTID, 0),
                 "src/netinfo.*imm_update_kxnetif_info");
    EXPECT_DEATH(named("eth0", 0, KXNETIF_F_CTID, 0), "src/netinfo.*raw_update_kxnetif_info");
}

TEST_F(StoreDeathTest, UpdateOfLastWithoutOneEndsTheProcess) {
    EXPECT_DEATH(update_last_kxnetif_info(KXNETIF_F_STATE, 1),
                 "src/netinfo.*update_last_kxnetif_info");
}
