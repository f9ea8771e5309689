// The query's containers collected side by side and its bridge scan settled
// by the dump give, record by record, the snapshot of one container after
// another and of a scan that probes every device: same records, same
// fields, same generations and scopes, in the same order.  A snapshot of one
// named host device hands out what the whole host's snapshot does for it.
#include "kxnet_ct.h"

#include "frame/state.h"
#include "ifcfg/ifcfg.h"
#include "kxctl.h"
#include "netinfo/container_collector.h"
#include "netinfo/host_collectors.h"
#include "netinfo/link_facts.h"
#include "netinfo/selection.h"
#include "netinfo/store.h"
#include "registry/model.h"

#include "ns_env.h"

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using kxtest::ns::at;
using kxtest::ns::sh;

constexpr uint32_t addr_flags = KXNET_INFO_IPV4 | KXNET_INFO_IPV6;

int kxct(const std::string &args) { return sh(kxtest::ns::binary_dir() + "/platform/kxct/kxct " + args); }

const char *text(const char *s) { return s != nullptr ? s : "(none)"; }

std::string list_text(char *const *list) {
    if (list == nullptr) return "(none)";
    std::string out;
    for (; *list != nullptr; ++list) out += std::string(*list) + " ";
    return out;
}

// Every field a caller or a later query can see; the holds only when asked.
std::string describe(const kxnetif_info *r, bool holds = true) {
    std::ostringstream o;
    o << r->name << "@" << r->ctid << " type=" << r->type << " mask=" << r->mask
      << " alt=" << (r->alt_name == r->name ? "(name)" : text(r->alt_name)) << " bridge=" << text(r->bridge)
      << " net=" << text(r->network_id) << " addrs=" << list_text(r->addrs)
      << " conf=" << list_text(r->conf_addrs) << " hw=" << text(r->hwaddr) << " state=" << r->state
      << " flags=" << r->flags << " stamps=" << r->stamp << "/" << r->addrs_stamp << "/"
      << r->conf_addrs_stamp << " scope=" << r->scope_ctid << "/" << r->scope_phase;
    if (holds) o << " refs=" << r->refcount;
    if (r->type == KXNETIF_VETH) o << " peer=" << text(r->peer_name) << "@" << r->peer_ctid;
    if (r->type == KXNETIF_VLAN) o << " vlan=" << text(r->vlan_dev) << "#" << r->vlan_id;
    return o.str();
}

// The live store, newest first, as handed out, and the generation it ended in.
std::vector<std::string> store_contents() {
    std::vector<std::string> out;
    kxnetif_info_list *all = kx::select_kxnetif_info({});
    for (kxnetif_info **item = all->items; *item != nullptr; ++item) out.push_back(describe(*item, false));
    kx::release_kxnetif_info_list(all);
    out.push_back("generation " + std::to_string(kx::store_generation()));
    return out;
}

void check_boot_protocols() {
    const kx::held_ifaces held(kx::records_in(0, 0));
    const kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
    for (const kx::iface_record *record : held.records()) kx::read_bootproto(*record, &index);
}

void host_phase(const kx::link_facts *facts) {
    kx::read_proc_veth(1);
    kx::read_proc_vmth();
    kx::read_vlan_devices();
    kx::scan_bridges(facts);
    check_boot_protocols();
}

// The query's order of ids: the running ones as listed, last first.
std::vector<int32_t> running_order() {
    std::unique_ptr<kxctl_env_ids, void (*)(kxctl_env_ids *)> ids(kxctl_alloc_env_ids(), kxctl_free_env_ids);
    std::vector<int32_t> order;
    for (int i = kxctl_get_env_ids_by_state(ids.get(), KXCTL_ENV_RUNNING) - 1; i >= 0; --i)
        order.push_back(static_cast<int32_t>(ids->ids[i]));
    return order;
}

// A snapshot as taken before the collection window and the dump's kinds:
// one container after another, every device probed for being a bridge.
std::vector<std::string> one_by_one(uint32_t flags, const std::vector<int32_t> &ids, bool host) {
    kx::store_reset_for_tests();
    for (int32_t id : ids) kx::collect_ct_info(flags, id);
    if (host) host_phase(nullptr);
    return store_contents();
}

std::vector<std::string> side_by_side(uint32_t flags, const std::vector<int32_t> &ids, bool host,
                                      std::size_t window) {
    kx::store_reset_for_tests();
    kx::link_facts facts;
    kx::collect_ct_infos(flags, ids, &facts, window);
    if (host) host_phase(&facts);
    return store_contents();
}

class SnapshotPaths : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        build_host();
    }
    void TearDown() override {
        if (!kxtest::ns::available()) return;
        for (int ctid : started_) kxct("stop " + std::to_string(ctid) + " 2>/dev/null");
        kx::networks_clear();
        kx::veth_pairs_clear();
        kx::store_reset_for_tests();
    }

private:
    void start(int ctid, const std::string &veths, const std::string &args) {
        const std::string id = std::to_string(ctid);
        ASSERT_EQ(kxct("create " + id + " --veth " + veths), 0);
        ASSERT_EQ(kxct("start " + id + " " + args), 0);
        started_.push_back(ctid);
    }

    // Bridges with and without a network, ports, pairs (also of
    // containers), VLAN-like, vnic and veth- names, a macvlan, a tun device
    // that is asked as before, a configured but stopped container, and a
    // container with a link of its own beyond its pairs.
    void build_host() {
        kxtest::ns::add_bridge("brnet");
        kxtest::ns::add_bridge("brfree");
        kxtest::ns::add_veth("ha", "hb");
        kxtest::ns::add_veth("eth0.5", "vnic0");
        kxtest::ns::add_veth("veth-x", "hc");
        ASSERT_EQ(sh("ip link set ha master brnet && ip link set veth-x master brfree &&"
                     " ip link add mv0 link hb type macvlan && ip tuntap add tun0 mode tun &&"
                     " ip addr add 10.7.0.1/24 dev ha && ip addr add 10.7.1.1/24 dev brnet &&"
                     " ip link set brnet up && ip link set mv0 up"),
                  0);
        ASSERT_EQ(kx::network_add_to_registry("net1", "brnet", 0), 0);
        start(3, "kx3a:net1", "--addr eth0=10.3.0.2/24");
        start(4, "kx4a,kx4b", "--addr eth1=10.4.1.2/24 --hwaddr eth0=02:00:00:00:04:01");
        start(7, "kx7a", "");
        ASSERT_EQ(kxct("create 5 --veth kx5a"), 0) << "configured, never started";
        ASSERT_EQ(sh("ip link set kx3a master brnet"), 0);
        ASSERT_EQ(sh("nsenter --net=" + at("/run/netns/kxct7") + " ip link add vnic7 type veth peer name veth-7"), 0);
        kxtest::make_dirs(at("/proc/net/vlan"));
        kxtest::write_file(at("/proc/net/vlan/config"),
                           "VLAN Dev name    | VLAN ID\nName-Type: VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD\n"
                           "eth0.5         | 5  | ha\n");
        kxtest::make_dirs(at("/etc/sysconfig/network-scripts"));
        kxtest::write_file(at("/etc/sysconfig/network-scripts/ifcfg-hb"), "DEVICE=hb\n  BOOTPROTO=dhcp\n");
    }

    std::vector<int> started_;
};

TEST_F(SnapshotPaths, WholeQueryMatchesTheOneByOneSnapshot) {
    const std::vector<int32_t> order = running_order();
    ASSERT_EQ(order.size(), 4u) << "three containers and the host";
    for (uint32_t flags : {uint32_t{0}, addr_flags}) {
        one_by_one(flags, order, true); // settles link-local addresses and carriers
        const std::vector<std::string> before = one_by_one(flags, order, true);
        kx::store_reset_for_tests();
        ASSERT_EQ(kx::take_semaphore(), 0);
        kxnetif_info_list *list = kxnet_get_info_SL(flags, nullptr);
        kx::post_semaphore();
        ASSERT_NE(list, nullptr);
        const std::vector<std::string> after = store_contents();
        ASSERT_EQ(kxnet_release_info(list), KXNET_OK);
        EXPECT_EQ(after, before) << "flags " << flags;
        // The snapshot holds what it is meant to compare.
        auto has = [&](const std::string &piece) {
            for (const std::string &line : before)
                if (line.find(piece) != std::string::npos) return true;
            return false;
        };
        for (const char *piece : {"eth0@3 ", "eth1@4 ", "vnic7@7 ", "brnet@0 type=4", "bridge=brnet net=net1",
                                  "eth0.5@0 type=8", "conf=dhcp", "mv0@0", "tun0@0"})
            EXPECT_TRUE(has(piece)) << piece;
    }
}

TEST_F(SnapshotPaths, WindowKeepsTheOrderOfPassesWithTheHostAndMissingIdsBetween) {
    const std::vector<int32_t> ids = {4, 0, 99, 3, 5, 7, 4};
    one_by_one(addr_flags, ids, true);
    const std::vector<std::string> before = one_by_one(addr_flags, ids, true);
    for (std::size_t window : {std::size_t{1}, std::size_t{2}, std::size_t{16}})
        EXPECT_EQ(side_by_side(addr_flags, ids, true, window), before) << "window " << window;
    const std::vector<std::string> containers_only = one_by_one(0, {7, 3, 4}, false);
    EXPECT_EQ(side_by_side(0, {7, 3, 4}, false, 2), containers_only);
}

// What a query with `filter` hands out, from a store emptied and set to one
// generation, so two queries can be compared field by field.
std::vector<std::string> query_from_scratch(uint32_t flags, const kxnet_filter &filter, const char *name) {
    kx::store_reset_for_tests();
    kx::store_set_generation(1000);
    EXPECT_EQ(kx::take_semaphore(), 0);
    kxnetif_info_list *list = kxnet_get_info_SL(flags, &filter);
    kx::post_semaphore();
    std::vector<std::string> out;
    if (list == nullptr) return {"(no list)"};
    for (kxnetif_info **item = list->items; *item != nullptr; ++item)
        if (name == nullptr || std::strcmp((*item)->name, name) == 0) out.push_back(describe(*item));
    EXPECT_EQ(kxnet_release_info(list), KXNET_OK);
    return out;
}

// A filter naming one host device takes a snapshot of that device alone;
// it must hand out what the whole host's snapshot gives for the same filter:
// ports with and without a network, a bridge, pairs of containers, VLAN,
// vnic, macvlan and tun devices, configured addresses and boot protocols,
// an alternative name and devices that do not exist.
TEST_F(SnapshotPaths, OneDeviceSnapshotMatchesTheWholeHost) {
    kxtest::write_file(at("/etc/kx/kxnet.conf"),
                       "VNID_brnet=\"net1\"\nADDR_ha=\"10.9.0.1/24\"\nADDR_absent0=\"10.9.9.1/24\"\n");
    kxtest::write_file(at("/etc/sysconfig/network-scripts/ifcfg-ha"), "DEVICE=ha\nBOOTPROTO=dhcp\n");
    kxtest::write_file(at("/etc/sysconfig/network-scripts/ifcfg-uplink"), "DEVICE=veth-x\nBOOTPROTO=dhcp\n");
    std::vector<std::string> names = {"ha",  "hb",   "eth0.5", "vnic0", "veth-x", "hc",  "mv0", "tun0",
                                      "brnet", "brfree", "kx3a", "kx4a", "kx7a", "lo", "absent0", "eth0"};
    if (sh("ip link property add dev hc altname althc 2>/dev/null") == 0) names.push_back("althc");
    for (uint32_t flags : {0xffffffffu, addr_flags, uint32_t{0}}) {
        for (uint32_t mask : {58u, uint32_t{KXNETIF_ALL}}) {
            for (const std::string &name : names) {
                kxnet_filter whole{mask, nullptr, nullptr, nullptr, 0, 0};
                kxnet_filter one{mask, nullptr, nullptr, const_cast<char *>(name.c_str()), 0, 0};
                const std::vector<std::string> expected = query_from_scratch(flags, whole, name.c_str());
                EXPECT_EQ(query_from_scratch(flags, one, nullptr), expected)
                    << name << " flags " << flags << " mask " << mask;
            }
        }
    }
    // The records compared carry what they are meant to.
    const kxnet_filter all{KXNETIF_ALL, nullptr, nullptr, nullptr, 0, 0};
    auto whole_of = [&](const char *name) {
        const std::vector<std::string> lines = query_from_scratch(0xffffffffu, all, name);
        return lines.empty() ? std::string() : lines.front();
    };
    for (const auto &[name, piece] : std::vector<std::pair<const char *, const char *>>{
             {"ha", "bridge=brnet net=net1 addrs=10.7.0.1/24"}, {"ha", "conf=dhcp"}, {"veth-x", "conf=dhcp"},
             {"kx3a", "net=net1"}, {"brnet", "type=4"}, {"absent0", "conf=10.9.9.1/24"}})
        EXPECT_NE(whole_of(name).find(piece), std::string::npos) << whole_of(name);

    // A whole query after a narrow one sees the whole host again.
    const std::vector<std::string> fresh = query_from_scratch(0xffffffffu, all, nullptr);
    kx::store_reset_for_tests();
    kxnet_filter one{58, nullptr, nullptr, const_cast<char *>("ha"), 0, 0};
    ASSERT_EQ(kx::take_semaphore(), 0);
    kx::release_kxnetif_info_list(kxnet_get_info_SL(0xffffffffu, &one));
    kx::store_set_generation(1000);
    kxnetif_info_list *list = kxnet_get_info_SL(0xffffffffu, &all);
    kx::post_semaphore();
    ASSERT_NE(list, nullptr);
    std::vector<std::string> after;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item) after.push_back(describe(*item));
    ASSERT_EQ(kxnet_release_info(list), KXNET_OK);
    EXPECT_EQ(after, fresh);
}

// What is kept of an ifcfg file read by an earlier query must not outlive a
// rewrite in place at the same size: same inode, same length, new times.
TEST_F(SnapshotPaths, BootProtocolFollowsAnIfcfgFileRewrittenInPlace) {
    const std::string own = at("/etc/sysconfig/network-scripts/ifcfg-hb");
    const std::string keyed = at("/etc/sysconfig/network-scripts/ifcfg-uplink");
    kxtest::write_file(keyed, "DEVICE=veth-x\nBOOTPROTO=dhcp\n");
    sleep(3); // old enough to be kept
    const kxnet_filter all{KXNETIF_ALL, nullptr, nullptr, nullptr, 0, 0};
    auto conf_of = [&](const char *name) {
        const std::vector<std::string> lines = query_from_scratch(0xffffffffu, all, name);
        if (lines.empty()) return std::string("(no record)");
        const std::size_t at_conf = lines.front().find(" conf=");
        return lines.front().substr(at_conf, lines.front().find(" hw=") - at_conf);
    };
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(conf_of("hb"), " conf=dhcp ") << round;
        EXPECT_EQ(conf_of("veth-x"), " conf=dhcp ") << round;
    }
    kxtest::write_file(own, "DEVICE=hb\n  BOOTPROTO=none\n");
    kxtest::write_file(keyed, "DEVICE=veth-y\nBOOTPROTO=dhcp\n");
    EXPECT_EQ(conf_of("hb"), " conf=(none)");
    EXPECT_EQ(conf_of("veth-x"), " conf=(none)");
}

TEST_F(SnapshotPaths, DumpSettlesOnlyDevicesWhoseKindAnswersTheBridgeTest) {
    kx::link_facts facts;
    const int32_t host = 0;
    kx::collect_ct_infos(0, {&host, 1}, &facts);
    ASSERT_TRUE(facts.filled);
    EXPECT_EQ(facts.bridge_answer_for("brnet"), kx::bridge_answer::bridge);
    for (const char *settled : {"ha", "hb", "eth0.5", "veth-x", "mv0", "kx3a"})
        EXPECT_EQ(facts.bridge_answer_for(settled), kx::bridge_answer::not_bridge) << settled;
    for (const char *asked : {"tun0", "lo", "absent0"})
        EXPECT_EQ(facts.bridge_answer_for(asked), kx::bridge_answer::ask) << asked;

    // The scan tests the dump's links: a bridge made after the dump waits for
    // the next snapshot, and a scan without a dump lists sysfs and finds it.
    ASSERT_EQ(sh("ip link add brlate type bridge"), 0);
    kx::scan_bridges(&facts);
    EXPECT_EQ(kx::find_iface("brlate", 0, KXNETIF_BRIDGE), nullptr);
    EXPECT_NE(kx::find_iface("brnet", 0, KXNETIF_BRIDGE), nullptr);
    kx::scan_bridges(nullptr);
    EXPECT_NE(kx::find_iface("brlate", 0, KXNETIF_BRIDGE), nullptr);
    EXPECT_EQ(kx::bridge_answer::ask, kx::link_facts{}.bridge_answer_for("brnet")) << "no dump, no facts";
}

} // namespace
