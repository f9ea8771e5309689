// The registry and ifcfg files under abuse: writers killed with SIGKILL at
// random moments, and every changing operation on a file system with no room
// left.  Either way each file holds its old content or its new, whole, the
// next write leaves no temporary behind, and nothing is reported done that
// the registry does not hold.
#include "frame/state.h"
#include "ifcfg/ifcfg.h"
#include "kxnet_ct.h"
#include "ns_env.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/atomic_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <net/if.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> sorted_listing(const std::string &documented) {
    auto names = kxtest::list_dir(ns::at(documented));
    std::sort(names.begin(), names.end());
    return names;
}

// Mounts a small tmpfs at sandbox path `documented` for the fixture's life.
class TmpfsTest : public NsTest {
protected:
    void TearDown() override {
        for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) ns::sh("umount '" + *it + "'");
        kx::networks_clear();
        kx::vlans_clear();
        kx::addrs_clear();
    }
    void mount_tmpfs(const std::string &documented, const std::string &size) {
        const std::string dir = ns::at(documented);
        kxtest::make_dirs(dir);
        ASSERT_EQ(ns::sh("mount -t tmpfs -o size=" + size + " tmpfs '" + dir + "'"), 0);
        mounted_.push_back(dir);
    }

private:
    std::vector<std::string> mounted_;
};

// ---- SIGKILL at random moments ----------------------------------------------

constexpr int kills = 1000;

// Forks a child that runs `write_once(round)` for rounds 0, 1, 2, ... until
// killed; kills it after a random pause of up to `max_pause_us`, `kills`
// times.  After each kill `check_after_kill` looks at the files and
// `rewrite` runs one write in this process.  Returns the seconds it took.
template <class Write, class Check, class Rewrite>
double kill_writers(unsigned max_pause_us, Write write_once, Check check_after_kill, Rewrite rewrite) {
    std::mt19937 rng(20240614);
    std::uniform_int_distribution<unsigned> pause(0, max_pause_us);
    const auto start = std::chrono::steady_clock::now();
    for (int kill_no = 0; kill_no < kills; ++kill_no) {
        pid_t child = fork();
        if (child == 0) {
            for (unsigned round = 0;; ++round) write_once(round);
        }
        if (child < 0) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        usleep(pause(rng));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFSIGNALED(status)) ADD_FAILURE() << "the writer stopped by itself";
        check_after_kill(kill_no);
        rewrite();
        if (::testing::Test::HasFailure()) break;
    }
    return seconds_since(start);
}

class KilledWriter : public TmpfsTest {
protected:
    void SetUp() override {
        TmpfsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        kx::state().suse_flag = 0;
    }
};

// A whole temporary with our mark, as a writer killed after giving it its
// name leaves it.
void plant_killed_writers_temporary(const std::string &documented_dir, const std::string &name) {
    const std::string path = ns::at(documented_dir + "/" + name);
    write_file(path, "whole but never renamed", 0600);
    ASSERT_EQ(setxattr(path.c_str(), kx::temporary_mark, name.data(), name.size(), 0), 0) << "trusted xattr";
}

// Three hundred networks, so that a save takes a while, and an address line
// of one of two shapes, so that old and new content differ.
void fill_networks() {
    for (int i = 0; i < 300; ++i) {
        const std::string bridge = "br" + std::to_string(i);
        kx::network_add_to_registry(("network-" + std::to_string(i)).c_str(), bridge.c_str(), 0);
        kx::network_iface_add(kx::network_find_by_bridge(bridge.c_str()), "eth1");
    }
}

void set_address_line(unsigned variant) {
    kx::addrs_clear();
    kx::addr_add("eth1", variant % 2 == 0 ? "10.0.0.1/24" : "dhcp");
}

TEST_F(KilledWriter, RegistryIsOldOrNewAndTheNextSaveSweepsTemporaries) {
    mount_tmpfs("/etc/kx", "4m");
    const std::string path = ns::at("/etc/kx/kxnet.conf");
    fill_networks();
    set_address_line(1);
    ASSERT_EQ(kx::registry_save(), 0);
    const std::string odd = read_file(path);
    set_address_line(0);
    ASSERT_EQ(kx::registry_save(), 0);
    const std::string even = read_file(path);
    ASSERT_NE(odd, even);
    // What a writer killed between naming its temporary and the rename
    // leaves, planted so the sweep is exercised whether or not a kill below
    // lands in that window.
    ASSERT_NO_FATAL_FAILURE(plant_killed_writers_temporary("/etc/kx", ".kxnet.conf.kxnet-Kq7z2A"));
    ASSERT_EQ(kx::registry_save(), 0);
    ASSERT_EQ(sorted_listing("/etc/kx"), std::vector<std::string>{"kxnet.conf"});

    int stale = 0;
    const double took = kill_writers(
        1500,
        [](unsigned round) {
            set_address_line(round);
            kx::registry_save();
        },
        [&](int kill_no) {
            const std::string text = read_file(path);
            EXPECT_TRUE(text == even || text == odd) << "after kill " << kill_no << ":\n" << text.substr(0, 200);
            stale += static_cast<int>(sorted_listing("/etc/kx").size()) - 1;
        },
        [&] {
            EXPECT_EQ(kx::registry_save(), 0);
            EXPECT_EQ(sorted_listing("/etc/kx"), std::vector<std::string>{"kxnet.conf"});
            EXPECT_EQ(read_file(path), even);
        });
    std::printf("torture registry: %d kills, %d temporaries left by a kill and swept, %.2f s\n", kills,
                stale, took);
}

TEST_F(KilledWriter, IfcfgFileIsOldOrNewAndTheNextRewriteSweepsTemporaries) {
    mount_tmpfs("/etc/sysconfig", "4m");
    kxtest::make_dirs(ns::at("/etc/sysconfig/network-scripts"));
    const std::string path = ns::at("/etc/sysconfig/network-scripts/ifcfg-eth9");
    std::string seed = "DEVICE=eth9\nBOOTPROTO=static\nIPADDR=192.0.2.1\nNETMASK=255.255.255.0\n";
    for (int i = 0; i < 400; ++i) seed += "# a comment line the rewrite keeps, number " + std::to_string(i) + "\n";
    const char *first = "10.1.1.1/24";
    const char *second = "172.16.5.9/12";
    const std::string one = kx::ifcfg_rewrite_address(seed, first, false);
    const std::string two = kx::ifcfg_rewrite_address(one, second, false);
    ASSERT_EQ(kx::ifcfg_rewrite_address(two, first, false), one);
    write_file(path, one, 0600);
    ASSERT_NO_FATAL_FAILURE(
        plant_killed_writers_temporary("/etc/sysconfig/network-scripts", ".ifcfg-eth9.kxnet-Kq7z2A"));
    ASSERT_EQ(kx::ifcfg_set_address("eth9", first), 0);
    ASSERT_EQ(sorted_listing("/etc/sysconfig/network-scripts"), std::vector<std::string>{"ifcfg-eth9"});

    int stale = 0;
    const double took = kill_writers(
        1500, [&](unsigned round) { kx::ifcfg_set_address("eth9", round % 2 == 0 ? second : first); },
        [&](int kill_no) {
            const std::string text = read_file(path);
            EXPECT_TRUE(text == one || text == two) << "after kill " << kill_no << ":\n" << text.substr(0, 200);
            stale += static_cast<int>(sorted_listing("/etc/sysconfig/network-scripts").size()) - 1;
        },
        [&] {
            EXPECT_EQ(kx::ifcfg_set_address("eth9", first), 0);
            EXPECT_EQ(sorted_listing("/etc/sysconfig/network-scripts"), std::vector<std::string>{"ifcfg-eth9"});
            EXPECT_EQ(read_file(path), one);
        });
    std::printf("torture ifcfg: %d kills, %d temporaries left by a kill and swept, %.2f s\n", kills, stale,
                took);
}

// ---- no room left -------------------------------------------------------------

class FullDisk : public TmpfsTest {
protected:
    void SetUp() override {
        TmpfsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        kx::state().ovs_enabled = 0;
        kx::state().suse_flag = 0;
        for (const char *n : {"0", "1"}) {
            ns::add_veth(std::string("fd-eth") + n, std::string("fd-peer") + n);
            ns::set_up(std::string("fd-eth") + n);
        }
    }

    // The container kernel's via-physical-device switch of a new bridge.
    void add_switch(const char *bridge) {
        write_file(ns::at("/sys/class/net/" + std::string(bridge) + "/bridge/via_phys_dev"), "0");
    }

    // Fills the tmpfs at `documented` to its last page: a new file gets no room.
    void fill(const std::string &documented) {
        ns::sh("dd if=/dev/zero of='" + ns::at(documented) + "/filler' bs=4k 2>/dev/null");
    }
};

TEST_F(FullDisk, EveryChangingOperationFailsWholeAndTakesBackWhatItDid) {
    mount_tmpfs("/etc/kx", "64k");
    mount_tmpfs("/etc/sysconfig", "64k");
    kxtest::make_dirs(ns::at("/etc/sysconfig/network-scripts"));
    write_file(ns::at("/etc/sysconfig/network-scripts/ifcfg-fd-eth1"),
               "DEVICE=fd-eth1\nBOOTPROTO=static\nIPADDR=10.9.0.1\nNETMASK=255.255.255.0\n", 0600);
    char bridge[IFNAMSIZ] = "";
    ASSERT_EQ(kxnet_br_new("net-a", bridge), KXNET_OK);
    add_switch(bridge);
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "fd-eth0"), KXNET_OK);
    bridge[0] = '\0';
    ASSERT_EQ(kxnet_br_new("net-b", bridge), KXNET_OK);
    add_switch(bridge);
    ASSERT_EQ(compat_kxnet_addr_set("fd-eth1", "10.9.0.1/24"), KXNET_OK);
    fill("/etc/kx");
    fill("/etc/sysconfig");

    const std::string registry_path = ns::at("/etc/kx/kxnet.conf");
    const std::string registry = read_file(registry_path);
    const std::string sysconfig = ns::files_under("/etc/sysconfig");
    ASSERT_NE(registry.find("VNID_br1=\"net-b\""), std::string::npos);
    kxtest::clear_log();

    // Each step: the call, the code it must give, whether it leaves the host
    // as it found it.
    struct step {
        const char *what;
        int (*call)();
        int expected;
        bool host_unchanged;
    };
    const step steps[] = {
        {"new network", [] { return kxnet_br_new("net-c", nullptr); }, KXNET_ERR_SYSTEM, true},
        {"new named network",
         [] {
             char name[IFNAMSIZ] = "brx";
             return kxnet_br_new("net-x", name);
         },
         KXNET_ERR_SYSTEM, true},
        {"rename", [] { return kxnet_br_change("net-b", "net-d"); }, KXNET_ERR_SYSTEM, true},
        {"attach", [] { return kxnet_br_attach_CT("net-b", "fd-eth1"); }, KXNET_ERR_SYSTEM, true},
        {"address", [] { return compat_kxnet_addr_set("fd-eth1", "10.9.0.2/24"); }, KXNET_ERR_SYSTEM, false},
        {"new VLAN",
         [] {
             char name[IFNAMSIZ];
             return kxnet_vlan_new("fd-eth1", 7, name, sizeof name);
         },
         KXNET_ERR_SYSTEM, true},
        {"remove VLAN", [] { return kxnet_vlan_del("fd-eth1.7"); }, KXNET_ERR_NOT_FOUND, true},
        {"detach", [] { return kxnet_br_detach_CT("fd-eth0"); }, KXNET_ERR_SYSTEM, true},
        {"remove network", [] { return kxnet_br_del("net-b"); }, KXNET_ERR_SYSTEM, false},
    };
    int failed_saves = 0;
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        const std::string devices = ns::device_dump();
        const int result = s.call();
        EXPECT_EQ(result, s.expected);
        if (result == KXNET_ERR_SYSTEM && s.expected == KXNET_ERR_SYSTEM && std::string(s.what) != "new VLAN")
            ++failed_saves;
        EXPECT_EQ(read_file(registry_path), registry);
        EXPECT_EQ(ns::files_under("/etc/sysconfig"), sysconfig);
        EXPECT_EQ(sorted_listing("/etc/kx"), (std::vector<std::string>{"filler", "kxnet.conf"}));
        EXPECT_EQ(sorted_listing("/etc/sysconfig/network-scripts"), std::vector<std::string>{"ifcfg-fd-eth1"});
        if (s.host_unchanged) { EXPECT_EQ(ns::device_dump(), devices); }
    }
    const auto log = kxtest::log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "Failed to save kxnet.conf"), failed_saves);
    EXPECT_FALSE(ns::device_exists("br2"));
    EXPECT_FALSE(ns::device_exists("brx"));
    EXPECT_EQ(ns::master_of("fd-eth1"), "");

    // With room again the registry catches up: a retried removal finishes.
    ASSERT_EQ(ns::sh("rm '" + ns::at("/etc/kx/filler") + "'"), 0);
    EXPECT_EQ(kxnet_br_del("net-b"), KXNET_OK);
    EXPECT_EQ(kxnet_br_detach_CT("fd-eth0"), KXNET_OK);
    EXPECT_EQ(ns::master_of("fd-eth0"), "");
    EXPECT_EQ(read_file(registry_path).find("net-b"), std::string::npos);
    EXPECT_EQ(read_file(registry_path).find("IFLST_"), std::string::npos);
}

// A host that never had a registry: the first network makes its directory,
// and is recorded, never left as a bridge nothing knows of.
TEST_F(FullDisk, FirstNetworkMakesTheRegistryDirectory) {
    ASSERT_FALSE(kxtest::file_exists(ns::at("/etc/kx")));
    char bridge[IFNAMSIZ] = "";
    ASSERT_EQ(kxnet_br_new("net-a", bridge), KXNET_OK);
    EXPECT_STREQ(bridge, "br0");
    EXPECT_EQ(read_file(ns::at("/etc/kx/kxnet.conf")), "VNID_br0=\"net-a\"\n");
    struct stat info {};
    ASSERT_EQ(stat(ns::at("/etc/kx").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(kxnet_br_del("net-a"), KXNET_OK);
    EXPECT_FALSE(ns::device_exists("br0"));
}

// Where the registry cannot be written, the network is not made either.
TEST_F(FullDisk, NetworkThatCannotBeRecordedLeavesNoBridge) {
    mount_tmpfs("/etc/kx", "16k,ro");
    EXPECT_EQ(kxnet_br_new("net-a", nullptr), KXNET_ERR_SYSTEM);
    EXPECT_FALSE(ns::device_exists("br0"));
    const auto log = kxtest::log_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Failed to save kxnet.conf"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Failed to add network \"net-a\", err = 6"), log.end());
}

} // namespace
