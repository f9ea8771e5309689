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

using strings = std::vector<std::string>;

size_t live_count() { return store_live().size(); }
const iface_record *live_head() { return store_live().empty() ? nullptr : &store_live().front(); }
const iface_record *retired_head() { return store_retired().empty() ? nullptr : &store_retired().front(); }

iface_update named(const char *name, int32_t ctid = 0) { return iface_update(name, ctid); }

} // namespace

TEST_F(StoreTest, NewRecordStartsUnknownWithNameAndCtidAndTakesTheKey) {
    EXPECT_EQ(named("eth0", 7).record(), nullptr) << "found or made by the first change";
    const iface_record *r = named("eth0", 7).state(KXNETIF_STATE_UP).record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, KXNETIF_UNKNOWN);
    EXPECT_EQ(r->mask, 6u | KXNETIF_F_STATE);
    EXPECT_EQ(r->name, "eth0");
    EXPECT_FALSE(r->alt_name); // the name itself until set
    EXPECT_EQ(r->ctid, 7);
    EXPECT_EQ(r->state, 1u);
    EXPECT_EQ(find_iface("eth0", 7, KXNETIF_UNKNOWN), r);
    EXPECT_EQ(find_iface("eth0", 0, KXNETIF_ALL), nullptr); // other container
    EXPECT_EQ(find_iface(nullptr, 7, KXNETIF_ALL), nullptr);
    EXPECT_TRUE(iface_update(nullptr, 0).state(1).failed()) << "no name, nothing to update";
}

TEST_F(StoreTest, UpdatesOfOneInterfaceLandOnOneRecord) {
    iface_update update("eth0", 0);
    const iface_record *r = update.type(KXNETIF_ETH).record();
    EXPECT_EQ(update.hwaddr("00:11:22:33:44:55").alt_name("uplink").record(), r);
    EXPECT_EQ(named("eth0").flags(0x1003).record(), r);
    EXPECT_EQ(live_count(), 1u);
    EXPECT_EQ(r->alt_name, "uplink");
    EXPECT_EQ(r->hwaddr, "00:11:22:33:44:55");
    EXPECT_EQ(r->flags, 0x1003u);
    EXPECT_EQ(find_iface("eth0", 0, KXNETIF_ETH), r);
    EXPECT_EQ(find_iface("eth0", 0, KXNETIF_UNKNOWN), nullptr); // re-indexed
}

TEST_F(StoreTest, AnyKindLookupTriesEthBeforeUnknown) {
    iface_record *unknown = named("x", 3).confirm().record();
    EXPECT_EQ(find_iface("x", 3, KXNETIF_ALL), unknown);
    // A held copy of an ETH record under the same name shows the order.
    hold_iface(*unknown);
    iface_record *eth = named("x", 3).type(KXNETIF_ETH).record();
    ASSERT_NE(eth, unknown);
    EXPECT_EQ(find_iface("x", 3, KXNETIF_ALL), eth);
    EXPECT_EQ(find_iface("x", 3, KXNETIF_ETH), eth);
    release_iface(*unknown);
}

TEST_F(StoreTest, AddressesAccumulateWithinAGenerationAndRestartInTheNext) {
    iface_update update("eth0", 0);
    const iface_record *r = update.addrs("10.0.0.1/24  10.0.0.2/24").addrs("  fe80::1/64").record();
    EXPECT_EQ(r->addrs, (strings{"10.0.0.1/24", "10.0.0.2/24", "fe80::1/64"}));

    store_advance_generation();
    update.addrs("192.168.1.5/16");
    EXPECT_EQ(r->addrs, strings{"192.168.1.5/16"});
    EXPECT_EQ(r->addrs_stamp, store_generation());

    // A value without tokens in a new generation leaves the list empty but marks the key.
    store_advance_generation();
    update.conf_addrs("   ");
    EXPECT_TRUE(r->conf_addrs.empty());
    EXPECT_TRUE(r->mask & KXNETIF_F_CONF_ADDRS);
}

TEST_F(StoreTest, HeldRecordIsCopiedAndKeepsItsValuesUntilReleased) {
    iface_record *held = named("eth0").hwaddr("00:00:00:00:00:01").addrs("10.1.1.1/8").record();
    named("eth1").confirm();
    hold_iface(*held);

    const iface_record *fresh = named("eth0").hwaddr("00:00:00:00:00:02").record();
    ASSERT_NE(fresh, held);
    EXPECT_EQ(live_head(), fresh);
    EXPECT_EQ(find_iface("eth0", 0, KXNETIF_ALL), fresh);
    EXPECT_EQ(fresh->hwaddr, "00:00:00:00:00:02");
    EXPECT_EQ(fresh->addrs, strings{"10.1.1.1/8"});

    EXPECT_EQ(held->hwaddr, "00:00:00:00:00:01");
    EXPECT_TRUE(held->retired);
    EXPECT_EQ(retired_head(), held);
    EXPECT_EQ(live_count(), 2u);

    release_iface(*held); // the last list holding it goes
    EXPECT_EQ(retired_head(), nullptr);
}

TEST_F(StoreTest, HeldRecordOnlyConfirmedByAnEqualValue) {
    iface_record *r = named("eth0").state(KXNETIF_STATE_UP).record();
    hold_iface(*r);
    const uint32_t mask = r->mask;
    store_advance_generation();

    EXPECT_EQ(named("eth0").bridge(std::nullopt).state(KXNETIF_STATE_UP).confirm().record(), r);
    EXPECT_EQ(r->mask, mask);
    EXPECT_EQ(r->stamp, store_generation()); // confirmed in this generation
    EXPECT_EQ(live_count(), 1u);
    EXPECT_EQ(retired_head(), nullptr);

    // Address keys always change a held record.
    EXPECT_NE(named("eth0").addrs("10.0.0.9/24").record(), r);
    release_iface(*r);
}

TEST_F(StoreTest, ChangeBetweenHardKindsReplacesEvenAnUnheldRecord) {
    named("veth-a").type(KXNETIF_VETH).peer_name("eth0").peer_ctid(101).network_id("net1").addrs("10.0.0.1/24");

    const iface_record *bridge = named("veth-a").type(KXNETIF_BRIDGE).record();
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(live_count(), 1u);
    EXPECT_EQ(retired_head(), nullptr); // unheld old record freed
    EXPECT_EQ(bridge->type, KXNETIF_BRIDGE);
    EXPECT_EQ(bridge->network_id, "net1");
    EXPECT_EQ(bridge->addrs, strings{"10.0.0.1/24"});
    EXPECT_TRUE(bridge->mask & KXNETIF_F_PEER_NAME);
    // The pair's slots left with its kind; nothing of it is read as the new kind's.
    EXPECT_EQ(bridge->peer_name(), nullptr);
    EXPECT_EQ(bridge->vlan_dev(), nullptr);
    EXPECT_EQ(find_iface("veth-a", 0, KXNETIF_BRIDGE), bridge);
    EXPECT_EQ(find_iface("veth-a", 0, KXNETIF_VETH), nullptr);

    // VETH to VLAN: slot A must not inherit the peer's string or id.
    iface_update pair("p", 0);
    const iface_record *vlan = pair.type(KXNETIF_VETH).peer_name("q").peer_ctid(4).type(KXNETIF_VLAN).record();
    EXPECT_EQ(vlan->vlan_dev(), nullptr);
    EXPECT_EQ(vlan->vlan_id(), 0);
    EXPECT_EQ(vlan->peer_ctid(), 0);
    EXPECT_STREQ(pair.vlan_dev("eth0").record()->vlan_dev(), "eth0");
}

// A slot means what the last key applied to it says.
TEST_F(StoreTest, SlotsFollowTheLastKey) {
    iface_update vlan("eth0.5", 0);
    const iface_record *r = vlan.type(KXNETIF_VLAN).vlan_dev("eth0").peer_ctid(5).record();
    EXPECT_EQ(r->peer_ctid(), 5);
    EXPECT_EQ(r->vlan_dev(), nullptr);
    vlan.peer_name("x");
    EXPECT_STREQ(r->peer_name(), "x");
    EXPECT_EQ(r->mask & (KXNETIF_F_PEER_CTID | KXNETIF_F_PEER_NAME), uint32_t(KXNETIF_F_PEER_CTID | KXNETIF_F_PEER_NAME));
    vlan.vlan_id(7);
    EXPECT_EQ(r->vlan_id(), 7);
    EXPECT_EQ(r->peer_name(), nullptr);

    // A soft kind takes a peer name; becoming VETH empties it, VETH again keeps it.
    iface_update eth("eth1", 0);
    const iface_record *e = eth.peer_name("peer").record();
    EXPECT_STREQ(e->peer_name(), "peer");
    EXPECT_EQ(e->mask, uint32_t(6 | KXNETIF_F_PEER_NAME));
    eth.type(KXNETIF_VETH);
    EXPECT_EQ(e->peer_name(), nullptr);
    eth.peer_name("peer0");
    EXPECT_EQ(eth.type(KXNETIF_VETH).record(), e);
    EXPECT_STREQ(e->peer_name(), "peer0");
}

TEST_F(StoreTest, HeldVethCopyCarriesItsPeerAndASoftKindCopyDoesNot) {
    iface_record *r = named("veth-1").type(KXNETIF_VETH).peer_name("eth0").peer_ctid(101).record();
    hold_iface(*r);
    const iface_record *copy = named("veth-1").state(KXNETIF_STATE_DOWN).record();
    ASSERT_NE(copy, r);
    EXPECT_STREQ(copy->peer_name(), "eth0");
    EXPECT_EQ(copy->peer_ctid(), 101);
    EXPECT_EQ(r->state, 0u);
    release_iface(*r);

    iface_record *soft = named("eth9").peer_ctid(3).record();
    hold_iface(*soft);
    EXPECT_EQ(named("eth9").state(1).record()->peer_ctid(), 0) << "only pair ends and VLANs keep slots";
    release_iface(*soft);
}

TEST_F(StoreTest, GenerationWrapsToZeroAndOldStampsCountAsUntouched) {
    store_set_generation(INT32_MAX);
    store_set_scope(12, scope_phase_collect);
    const iface_record *stale = named("a", 12).confirm().record();
    named("b", 12).confirm();
    store_set_scope(0, scope_phase_registry);
    named("registry-side", 12).confirm(); // other scope: not swept
    EXPECT_EQ(stale->stamp, INT32_MAX);

    store_advance_generation();
    EXPECT_EQ(store_generation(), 0);
    store_set_scope(12, scope_phase_collect);
    named("b", 12).state(1); // touched in generation 0
    sweep_ifaces();

    EXPECT_EQ(find_iface("a", 12, KXNETIF_ALL), nullptr);
    EXPECT_NE(find_iface("b", 12, KXNETIF_ALL), nullptr);
    EXPECT_NE(find_iface("registry-side", 12, KXNETIF_ALL), nullptr);
    EXPECT_EQ(live_count(), 2u);
}

TEST_F(StoreTest, RetireAllKeepsHeldRecordsAndStartsAFreshSet) {
    iface_record *held = named("eth0").hwaddr("aa:bb:cc:dd:ee:ff").record();
    named("eth1").confirm();
    hold_iface(*held);
    store_retire_all();
    EXPECT_EQ(live_head(), nullptr);
    EXPECT_EQ(retired_head(), held);
    EXPECT_EQ(find_iface("eth0", 0, KXNETIF_ALL), nullptr);

    const iface_record *fresh = named("eth0").confirm().record();
    EXPECT_NE(fresh, held);
    EXPECT_FALSE(fresh->hwaddr);
    EXPECT_EQ(held->hwaddr, "aa:bb:cc:dd:ee:ff");
    release_iface(*held);
    EXPECT_EQ(retired_head(), nullptr);
}

// An update continuing from a record that a query has retired meanwhile goes
// to the interface's live record; the retired one stays as its holder saw it.
TEST_F(StoreTest, UpdateOfARetiredHeldRecordGoesToTheLiveOne) {
    iface_record *held = named("eth0").addrs("10.0.0.1/24").record();
    hold_iface(*held);
    store_retire_all();
    const iface_record *live = iface_update(held).conf_addrs("dhcp").record();
    ASSERT_NE(live, nullptr);
    EXPECT_NE(live, held);
    EXPECT_TRUE(held->retired);
    EXPECT_TRUE(held->conf_addrs.empty());
    EXPECT_EQ(find_iface("eth0", 0, KXNETIF_ALL), live);
    EXPECT_EQ(store_retired().size(), 1u);
    release_iface(*held);
    EXPECT_EQ(retired_head(), nullptr);
}

TEST_F(StoreTest, ContainerEntriesAreKeptApartAcrossManyContainers) {
    for (int32_t ct = 0; ct < 50; ++ct)
        for (int i = 0; i < 5; ++i) named(("eth" + std::to_string(i)).c_str(), ct).peer_ctid(ct * 10 + i);
    for (int32_t ct = 49; ct >= 0; --ct)
        for (int i = 4; i >= 0; --i) {
            const iface_record *r = find_iface(("eth" + std::to_string(i)).c_str(), ct, KXNETIF_ALL);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->ctid, ct);
            EXPECT_EQ(r->peer_ctid(), ct * 10 + i);
        }
}

TEST_F(StoreTest, LookupsSurviveRetiringScatteredRecordsOfALargeHost) {
    constexpr int count = 3000;
    auto name = [](int i) { return "va" + std::to_string(i); };
    for (int i = 0; i < count; ++i) named(name(i).c_str()).type(i % 2 == 0 ? KXNETIF_ETH : KXNETIF_VETH);
    store_advance_generation();
    for (int i = count - 1; i >= 0; --i)
        if (i % 3 != 0) named(name(i).c_str()).confirm();
    sweep_ifaces();
    for (int i = 0; i < count; ++i) {
        const iface_record *r = find_iface(name(i).c_str(), 0, KXNETIF_ALL);
        if (i % 3 == 0) {
            EXPECT_EQ(r, nullptr) << name(i);
            continue;
        }
        ASSERT_NE(r, nullptr) << name(i);
        EXPECT_EQ(r->name, name(i));
        EXPECT_EQ(r->type, i % 2 == 0 ? KXNETIF_ETH : KXNETIF_VETH);
        EXPECT_EQ(find_iface(name(i).c_str(), 0, i % 2 == 0 ? KXNETIF_VETH : KXNETIF_ETH), nullptr);
    }
    store_retire_all();
    for (int i = 0; i < count; i += 7) EXPECT_EQ(find_iface(name(i).c_str(), 0, KXNETIF_ALL), nullptr);
}
