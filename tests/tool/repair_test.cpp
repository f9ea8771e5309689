// kxnetctl check --repair: each kind of drift made behind the library's back
// with ip or rm is mended through the library and a second check is clean;
// --dry-run changes nothing; orphans stay until --prune and unmarked devices
// and files are never touched; host start, the mend of missing bridges and
// ports, changes nothing on a host that has not drifted.
#include "test_support.h"
#include "tool_env.h"

#include <cstdio>
#include <functional>

namespace ns = kxtest::ns;
using kxtest::file_exists;
using kxtest::read_file;
using kxtest::write_file;
using namespace kxtest::tool;

namespace {

// The registry without the lines of network `id` on `bridge`: what a call
// killed before its save, or a registry restored from before, leaves.
void forget_network(const std::string &bridge) {
    ASSERT_EQ(ns::sh("sed -i '/^VNID_" + bridge + "=/d; /^IFLST_" + bridge + "=/d' " + ns::at("/etc/kx/kxnet.conf")), 0);
}

std::string ifindex_of(const std::string &device) { return ns::capture("cat /sys/class/net/" + device + "/ifindex"); }

} // namespace

namespace {

const std::string suse_dir = "/etc/sysconfig/network";
const std::string bridge_file = "BOOTPROTO='static'\nBRIDGE='yes'\nBRIDGE_PORTS=''\nSTARTMODE='auto'\nUSERCONTROL='no'\n";

// Network web on brweb with a NIC and a running container's host end, an
// address on a second NIC, in the SuSE layout.
class RepairTest : public SuseWebTest {
protected:
    void SetUp() override {
        SuseWebTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(master_of("veth101.0"), "brweb");
    }
};

struct drift {
    const char *name;
    std::function<void()> make;
    std::vector<std::string> kinds; // what check finds, in its order
    std::string repaired;           // one of the lines --repair prints
};

TEST_F(RepairTest, EachDriftIsMendedAndTheNextCheckIsClean) {
    const std::vector<drift> drifts = {
        {"port removed", [] { ns::sh("ip link set nic0 nomaster"); }, {"port-detached"},
         "repaired  physical interface nic0 of network \"web\" was out of bridge brweb"},
        {"bridge down", [] { ns::sh("ip link set brweb down"); }, {"bridge-down"},
         "repaired  bridge brweb of network \"web\" was down"},
        {"bridge deleted", [] { ns::sh("ip link del brweb"); }, {"bridge-missing", "pair-detached"},
         "repaired  bridge brweb of network \"web\" was missing"},
        {"address deleted", [] { ns::sh("ip addr del 10.9.9.1/24 dev nic1"); }, {"address-missing"},
         "repaired  address 10.9.9.1/24 was missing from nic1"},
        {"container host end detached", [] { ns::sh("ip link set veth101.0 nomaster"); }, {"pair-detached"},
         "repaired  container 101: veth101.0 was out of bridge brweb of network \"web\""},
        {"ifcfg removed", [] { std::remove(ns::at(suse_dir + "/ifcfg-brweb").c_str()); }, {"ifcfg-missing"},
         "repaired  bridge brweb of network \"web\" had no ifcfg file"},
    };
    expect_clean();
    const std::string clean_host = host_picture();
    for (const auto &d : drifts) {
        SCOPED_TRACE(d.name);
        d.make();
        result found = kxnetctl({"--json", "check"});
        EXPECT_EQ(found.status, 1) << found.out;
        EXPECT_EQ(finding_kinds(found), d.kinds);

        const std::string drifted = host_picture();
        result dry = kxnetctl({"check", "--dry-run"});
        EXPECT_EQ(dry.status, 1) << dry.out << dry.err;
        EXPECT_TRUE(has(dry.out, "would repair  " + d.repaired.substr(10))) << dry.out;
        EXPECT_EQ(host_picture(), drifted) << "a dry run changes nothing";

        result mended = kxnetctl({"check", "--repair"});
        EXPECT_EQ(mended.status, 0) << mended.out << mended.err;
        EXPECT_TRUE(has(mended.out, d.repaired + "\n")) << mended.out;
        EXPECT_TRUE(has(mended.out, "clean: ")) << mended.out;
        expect_clean();
        EXPECT_EQ(master_of("veth101.0"), "brweb");
        EXPECT_EQ(master_of("nic0"), "brweb");
        if (HasFailure()) break;
    }
    EXPECT_EQ(read_file(ns::at(suse_dir + "/ifcfg-brweb")), bridge_file);
}

TEST_F(RepairTest, WhatNoExportMendsStaysAFindingWithWhatToRun) {
    ns::sh("ip link del nic0");
    ns::sh("ip link set veth101.0 nomaster");
    result r = kxnetctl({"--json", "check", "--repair"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const nlohmann::json doc = r.json();
    ASSERT_EQ(doc.at("repaired").size(), 1u) << r.out;
    EXPECT_EQ(doc.at("repaired")[0].at("kind"), "pair-detached");
    ASSERT_EQ(finding_kinds(r), std::vector<std::string>{"port-missing"});
    EXPECT_TRUE(has(doc.at("findings")[0].at("mend"), "bring the device nic0 back")) << r.out;
    EXPECT_EQ(kxnetctl({"check"}).status, 1);
}

TEST_F(RepairTest, HostStartChangesNothingOnALiveHost) {
    // Ports, container host ends, addresses and the bridge's settings as the
    // library left them, and an address a person added to the bridge.
    ns::sh("ip addr add 192.0.2.1/24 dev brweb");
    const std::string before = host_picture() + ns::device_dump();
    EXPECT_EQ(kxnetctl({"host", "start"}).status, 0);
    EXPECT_EQ(host_picture() + ns::device_dump(), before);
    expect_clean();
}

TEST_F(RepairTest, OrphansStayUntilPruneAndUnmarkedThingsAreNeverTouched) {
    // What a network add killed after its ifcfg file and before its save
    // leaves (a bridge the library marked), a file of ours whose device is
    // gone, an unmarked bridge, and a person's bridge file that differs from
    // ours by one line.
    ns::sh("ip link add brlost type bridge && ip link set dev brlost alias kxnet");
    write_file(ns::at(suse_dir + "/ifcfg-brlost"), bridge_file, 0600);
    write_file(ns::at(suse_dir + "/ifcfg-brgone"), bridge_file, 0600);
    ns::sh("ip link add brmine type bridge");
    write_file(ns::at(suse_dir + "/ifcfg-brhand"), bridge_file + "MTU='9000'\n", 0600);

    result found = kxnetctl({"--json", "check"});
    EXPECT_EQ(found.status, 1);
    EXPECT_EQ(finding_kinds(found), (std::vector<std::string>{"orphan-ifcfg", "orphan-bridge"})) << found.out;
    result kept = kxnetctl({"check", "--repair"});
    EXPECT_EQ(kept.status, 1) << kept.out;
    EXPECT_TRUE(has(kept.out, "orphan-bridge  bridge brlost carries the library's ifcfg file")) << kept.out;
    EXPECT_TRUE(has(kept.out, "(to mend: kxnetctl check --repair --prune removes it)")) << kept.out;
    EXPECT_TRUE(ns::device_exists("brlost"));

    result pruned = kxnetctl({"check", "--repair", "--prune"});
    EXPECT_EQ(pruned.status, 0) << pruned.out << pruned.err;
    EXPECT_TRUE(has(pruned.out, "pruned  bridge brlost carried the library's ifcfg file but no network\n")) << pruned.out;
    EXPECT_FALSE(ns::device_exists("brlost"));
    EXPECT_FALSE(file_exists(ns::at(suse_dir + "/ifcfg-brlost")));
    EXPECT_FALSE(file_exists(ns::at(suse_dir + "/ifcfg-brgone")));
    EXPECT_TRUE(ns::device_exists("brmine"));
    EXPECT_TRUE(file_exists(ns::at(suse_dir + "/ifcfg-brhand")));
    EXPECT_TRUE(file_exists(ns::at(suse_dir + "/ifcfg-brweb")));
    expect_clean();
}

TEST_F(RepairTest, PruneRemovesOnlyBridgesTheLibraryMade) {
    // lan stood before its network adopted it (the library wrote its file,
    // as it had none); brmade the library created.  Both are then orphaned.
    ns::sh("ip link add lan type bridge");
    ASSERT_EQ(kxnetctl({"network", "add", "lan"}).status, 0);
    ASSERT_EQ(kxnetctl({"network", "add", "made", "--bridge", "brmade"}).status, 0);
    ASSERT_EQ(read_file(ns::at(suse_dir + "/ifcfg-lan")), bridge_file);
    ASSERT_NO_FATAL_FAILURE(forget_network("lan"));
    ASSERT_NO_FATAL_FAILURE(forget_network("brmade"));

    result pruned = kxnetctl({"--json", "check", "--repair", "--prune"});
    EXPECT_EQ(pruned.status, 1) << pruned.out << pruned.err;
    EXPECT_FALSE(ns::device_exists("brmade"));
    EXPECT_FALSE(file_exists(ns::at(suse_dir + "/ifcfg-brmade")));
    EXPECT_TRUE(ns::device_exists("lan")) << "an adopted bridge is never pruned";
    EXPECT_TRUE(file_exists(ns::at(suse_dir + "/ifcfg-lan")));
    ASSERT_EQ(finding_kinds(pruned), std::vector<std::string>{"orphan-bridge"}) << pruned.out;
    EXPECT_TRUE(has(pruned.json().at("findings")[0].at("mend"), "not pruned: not made by kxnet")) << pruned.out;
}

TEST_F(RepairTest, MissingBridgeFileIsWrittenBackInPlace) {
    // The registry unwritable must not matter: nothing but the file changes.
    struct variant {
        const char *name;
        bool registry_read_only;
    };
    const std::string file = ns::at(suse_dir + "/ifcfg-brweb"), registry_dir = ns::at("/etc/kx");
    for (const variant v : {variant{"registry writable", false}, variant{"registry read-only", true}}) {
        SCOPED_TRACE(v.name);
        const std::string index = ifindex_of("brweb"), registry = read_file(ns::at("/etc/kx/kxnet.conf"));
        ASSERT_EQ(std::remove(file.c_str()), 0);
        if (v.registry_read_only) {
            ASSERT_EQ(ns::sh("mount --bind '" + registry_dir + "' '" + registry_dir + "' && mount -o remount,bind,ro '" +
                             registry_dir + "'"),
                      0);
        }
        result mended = kxnetctl({"check", "--repair"});
        if (v.registry_read_only) {
            ASSERT_EQ(ns::sh("umount '" + registry_dir + "'"), 0);
        }
        EXPECT_EQ(mended.status, 0) << mended.out << mended.err;
        EXPECT_TRUE(has(mended.out, "repaired  bridge brweb of network \"web\" had no ifcfg file\n")) << mended.out;
        ASSERT_TRUE(file_exists(file));
        EXPECT_EQ(read_file(file), bridge_file);
        EXPECT_EQ(ifindex_of("brweb"), index) << "the bridge stays";
        EXPECT_EQ(master_of("veth101.0"), "brweb");
        EXPECT_EQ(master_of("nic0"), "brweb");
        EXPECT_EQ(read_file(ns::at("/etc/kx/kxnet.conf")), registry);
        expect_clean();
    }
}

} // namespace
