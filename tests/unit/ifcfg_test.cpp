// ifcfg files: writes in both layouts (content, mode, no temporary left on any
// outcome), removal, and the lookups (own name, DEVICE= key, hardware address)
// with the one-pass device index.
#include "ifcfg/ifcfg.h"

#include "frame/state.h"
#include "kxnet_ct.h"
#include "registry/model.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string redhat = "/etc/sysconfig/network-scripts";
const std::string suse = "/etc/sysconfig/network";

class IfcfgTest : public ::testing::Test {
protected:
    void SetUp() override {
        kxtest::make_dirs(root.at(redhat));
        kxtest::make_dirs(root.at(suse));
        kx::state().suse_flag = 0;
    }
    void TearDown() override { kx::state().suse_flag = 0; }

    std::string at(const std::string &dir, const std::string &name) const { return root.at(dir) + "/" + name; }
    void put(const std::string &dir, const std::string &name, const std::string &content) const {
        kxtest::write_file(at(dir, name), content);
    }
    std::vector<std::string> listing(const std::string &dir) const { return kxtest::list_dir(root.at(dir)); }

    static kx::vlan_parent parent(const char *name) {
        kx::vlan_parent record{};
        strncpy(record.name, name, sizeof record.name - 1);
        return record;
    }
    static kx::vlan_entry vlan(const char *name) {
        kx::vlan_entry record{};
        strncpy(record.name, name, sizeof record.name - 1);
        return record;
    }

    kxtest::scratch_root root;
};

int mode_of(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}

std::string found(const std::optional<std::string> &path) { return path.value_or("<none>"); }

TEST_F(IfcfgTest, BridgeFileOnlyInSuseLayout) {
    EXPECT_EQ(kx::ifcfg_write_bridge("br0"), 0);
    EXPECT_TRUE(listing(redhat).empty());
    EXPECT_EQ(kx::ifcfg_write_bridge(nullptr), 1);
    EXPECT_EQ(kx::ifcfg_write_bridge(""), 1);

    kx::state().suse_flag = 1;
    ASSERT_EQ(kx::ifcfg_write_bridge("br0"), 0);
    EXPECT_EQ(kxtest::read_file(at(suse, "ifcfg-br0")),
              "BOOTPROTO='static'\nBRIDGE='yes'\nBRIDGE_PORTS=''\nSTARTMODE='auto'\nUSERCONTROL='no'\n");
    EXPECT_EQ(mode_of(at(suse, "ifcfg-br0")), 0600);
    EXPECT_EQ(listing(suse), std::vector<std::string>{"ifcfg-br0"});
    EXPECT_TRUE(listing(redhat).empty());
}

TEST_F(IfcfgTest, VlanFileReplacesOldOneWholeInBothLayouts) {
    kx::vlan_parent eth0 = parent("eth0");
    kx::vlan_entry eth0_5 = vlan("eth0.5");
    const struct {
        int suse_flag;
        std::string dir, content;
    } layouts[] = {
        {0, redhat, "BOOTPROTO=static\nDEVICE=eth0.5\nONBOOT=yes\nVLAN=yes\n"},
        {1, suse, "BOOTPROTO='static'\nETHERDEVICE='eth0'\nSTARTMODE='auto'\nUSERCONTROL='no'\n"},
    };
    for (const auto &layout : layouts) {
        SCOPED_TRACE(layout.dir);
        kx::state().suse_flag = layout.suse_flag;
        put(layout.dir, "ifcfg-eth0.5", std::string(5000, '#') + "\nIPADDR=10.0.0.1\n");
        ASSERT_EQ(kx::ifcfg_write_vlan(&eth0, &eth0_5), 0);
        EXPECT_EQ(kxtest::read_file(at(layout.dir, "ifcfg-eth0.5")), layout.content);
        EXPECT_EQ(mode_of(at(layout.dir, "ifcfg-eth0.5")), 0600);
        EXPECT_EQ(listing(layout.dir), std::vector<std::string>{"ifcfg-eth0.5"});
    }
    EXPECT_EQ(kx::ifcfg_write_vlan(nullptr, &eth0_5), 1);
    EXPECT_EQ(kx::ifcfg_write_vlan(&eth0, nullptr), 1);
}

TEST_F(IfcfgTest, FailedWritesLeaveNoTemporaryAndKeepTheOldFile) {
    kx::vlan_parent eth0 = parent("eth0");
    kx::vlan_entry eth0_5 = vlan("eth0.5");
    for (int suse_flag : {0, 1}) {
        SCOPED_TRACE(suse_flag);
        kx::state().suse_flag = suse_flag;
        const std::string &dir = suse_flag ? suse : redhat;

        // A target that rename cannot replace (a non-empty directory).
        kxtest::write_file(at(dir, "ifcfg-eth0.5/keep"), "old\n");
        kxtest::write_file(at(dir, "ifcfg-br0/keep"), "old\n");
        EXPECT_EQ(kx::ifcfg_write_vlan(&eth0, &eth0_5), 1);
        EXPECT_EQ(kx::ifcfg_write_bridge("br0"), suse_flag ? 1 : 0);
        EXPECT_EQ(kxtest::read_file(at(dir, "ifcfg-eth0.5/keep")), "old\n");
        auto names = listing(dir);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"ifcfg-br0", "ifcfg-eth0.5"}));
    }

    // A directory that cannot be made: a file holds its parent's place.
    std::filesystem::remove_all(root.at("/etc/sysconfig"));
    kxtest::write_file(root.at("/etc/sysconfig"), "not a directory\n");
    EXPECT_EQ(kx::ifcfg_write_vlan(&eth0, &eth0_5), 1);
    EXPECT_EQ(kx::ifcfg_write_bridge("br0"), 1);
    EXPECT_EQ(kxtest::read_file(root.at("/etc/sysconfig")), "not a directory\n");
}

TEST_F(IfcfgTest, MissingLayoutDirectoryIsMade) {
    // A distribution without network scripts has neither directory.
    kx::vlan_parent eth0 = parent("eth0");
    kx::vlan_entry eth0_5 = vlan("eth0.5");
    for (int suse_flag : {0, 1}) {
        SCOPED_TRACE(suse_flag);
        kx::state().suse_flag = suse_flag;
        const std::string &dir = suse_flag ? suse : redhat;
        std::filesystem::remove_all(root.at("/etc/sysconfig"));
        ASSERT_EQ(kx::ifcfg_write_vlan(&eth0, &eth0_5), 0);
        EXPECT_EQ(mode_of(root.at(dir)), 0755);
        EXPECT_EQ(listing(dir), std::vector<std::string>{"ifcfg-eth0.5"});
    }
}

TEST_F(IfcfgTest, WriteErrorIsReportedAndOldFileStays) {
    kx::vlan_parent eth0 = parent("eth0");
    kx::vlan_entry eth0_5 = vlan("eth0.5");
    put(redhat, "ifcfg-eth0.5", "DEVICE=eth0.5\nIPADDR=10.0.0.1\n");

    // Files may grow to 8 bytes only: the write fails part-way.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    int result = kx::ifcfg_write_vlan(&eth0, &eth0_5);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(result, 1);
    EXPECT_EQ(kxtest::read_file(at(redhat, "ifcfg-eth0.5")), "DEVICE=eth0.5\nIPADDR=10.0.0.1\n");
    EXPECT_EQ(listing(redhat), std::vector<std::string>{"ifcfg-eth0.5"});
}

TEST_F(IfcfgTest, NamesThatWouldEscapeTheFileOrItsQuotingAreRefused) {
    kx::vlan_parent eth0 = parent("eth0");
    for (const char *bad : {"a'b", "x$(id)", "a b", "v;1", "a/b"}) {
        SCOPED_TRACE(bad);
        kx::vlan_entry odd = vlan(bad);
        kx::vlan_parent odd_parent = parent(bad);
        kx::vlan_entry fine = vlan("eth0.7");
        for (int suse_flag : {0, 1}) {
            kx::state().suse_flag = suse_flag;
            EXPECT_EQ(kx::ifcfg_write_vlan(&eth0, &odd), 1);
            EXPECT_EQ(kx::ifcfg_write_vlan(&odd_parent, &fine), 1);
        }
    }
    kx::state().suse_flag = 1;
    EXPECT_EQ(kx::ifcfg_write_bridge("../br0"), 1);
    EXPECT_TRUE(listing(redhat).empty());
    EXPECT_TRUE(listing(suse).empty());
    EXPECT_FALSE(kxtest::file_exists(root.at("/etc/sysconfig/br0")));
}

TEST_F(IfcfgTest, RemoveTakesOnlyTheLayoutsFile) {
    put(redhat, "ifcfg-br0", "x\n");
    put(suse, "ifcfg-br0", "x\n");
    kx::state().suse_flag = 1;
    kx::ifcfg_remove("br0");
    EXPECT_FALSE(kxtest::file_exists(at(suse, "ifcfg-br0")));
    EXPECT_TRUE(kxtest::file_exists(at(redhat, "ifcfg-br0")));
    kx::ifcfg_remove("br0"); // no file any more: nothing happens
    kx::ifcfg_remove(nullptr);
    kx::ifcfg_remove("");
    kx::state().suse_flag = 0;
    kx::ifcfg_remove("br0");
    EXPECT_FALSE(kxtest::file_exists(at(redhat, "ifcfg-br0")));
}

TEST_F(IfcfgTest, OwnFileIsFoundFirstInEitherLayout) {
    const std::string mac = "00:11:22:33:44:55";
    put(suse, "ifcfg-eth0", "x\n");
    put(suse, "ifcfg-eth-id-" + mac, "x\n");
    put(redhat, "ifcfg-lan", "DEVICE=eth0\n");
    for (int suse_flag : {0, 1}) {
        kx::state().suse_flag = suse_flag;
        EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, mac.c_str())), at(suse, "ifcfg-eth0"));
    }
    kxtest::make_dirs(at(redhat, "ifcfg-eth0")); // any kind of file counts
    for (int suse_flag : {0, 1}) {
        kx::state().suse_flag = suse_flag;
        EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, mac.c_str())), at(redhat, "ifcfg-eth0"));
    }
    EXPECT_EQ(found(kx::ifcfg_find(nullptr, KXNETIF_ETH, mac.c_str())), "<none>");
    EXPECT_EQ(found(kx::ifcfg_find("", KXNETIF_ETH, mac.c_str())), "<none>");
}

TEST_F(IfcfgTest, DeviceKeyMatchesOnlyTheWholeBareNameAtLineStart) {
    put(redhat, "ifcfg-vlan", "DEVICE=eth0.5\n");
    put(redhat, "ifcfg-quoted", "DEVICE=\"eth0\"\nDEVICE='eth0'\n");
    put(redhat, "ifcfg-indented", " DEVICE=eth0\n\tDEVICE=eth0\n");
    put(redhat, "ifcfg-longer", "DEVICE=eth01\nMYDEVICE=eth0\n# DEVICE=eth0\n");
    put(redhat, "ifcfg-short", "DEVICE=eth\n");
    // DEVICE=eth0 deep inside one long line is not at a line start.
    put(redhat, "ifcfg-long", std::string(65535, 'x') + "DEVICE=eth0\n");
    put(redhat, "notifcfg-eth", "DEVICE=eth0\n");
    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, nullptr)), "<none>");
    EXPECT_EQ(found(kx::ifcfg_find_by_device_key("eth0")), "<none>");
    EXPECT_EQ(found(kx::ifcfg_find("eth0.5", KXNETIF_VLAN, nullptr)), at(redhat, "ifcfg-vlan"));
    EXPECT_EQ(found(kx::ifcfg_find("eth", KXNETIF_ETH, nullptr)), at(redhat, "ifcfg-short"));

    for (const std::string tail : {"", "\n", " # uplink\n", "\t#\n", "\r\n"}) {
        SCOPED_TRACE(tail);
        put(redhat, "ifcfg-lan", "BOOTPROTO=dhcp\nDEVICE=eth0" + tail);
        EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, nullptr)), at(redhat, "ifcfg-lan"));
    }
    // The key search belongs to the network-scripts layout only.
    kx::state().suse_flag = 1;
    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, "00:11:22:33:44:55")), "<none>");
}

TEST_F(IfcfgTest, SuseFindsTheFileByHardwareAddress) {
    kx::state().suse_flag = 1;
    const std::string mac = "00:11:22:33:44:55";
    put(suse, "ifcfg-eth-id-" + mac, "x\n");
    put(suse, "ifcfg-eth-id-00:11:22:33:44:66", "x\n");
    put(suse, "old-wlan-" + mac, "x\n");
    for (const char *device : {"eth0", "lan7", "0x"})
        EXPECT_EQ(found(kx::ifcfg_find(device, KXNETIF_ETH, mac.c_str())), at(suse, "ifcfg-eth-id-" + mac));
    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, "00:11:22:33:44:77")), "<none>");
    // A VLAN device or one without address text is found by its own name only.
    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_VLAN, mac.c_str())), "<none>");
    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, nullptr)), "<none>");
    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, "")), "<none>");
    put(suse, "ifcfg-eth0.5", "x\n");
    EXPECT_EQ(found(kx::ifcfg_find("eth0.5", KXNETIF_VLAN, mac.c_str())), at(suse, "ifcfg-eth0.5"));
}

TEST_F(IfcfgTest, SuseSeveralAddressFilesAreDecidedByTheNameStem) {
    kx::state().suse_flag = 1;
    const std::string mac = "00:11:22:33:44:55";
    put(suse, "ifcfg-wlan-id-" + mac, "x\n");
    put(suse, "ifcfg-eth-id-" + mac, "x\n");
    put(suse, "ifcfg-eth-bus-pci-" + mac, "x\n");
    std::vector<std::string> eth_files; // directory order
    for (const auto &name : listing(suse))
        if (name.starts_with("ifcfg-eth")) eth_files.push_back(name);
    ASSERT_EQ(eth_files.size(), 2u);

    EXPECT_EQ(found(kx::ifcfg_find("eth0", KXNETIF_ETH, mac.c_str())), at(suse, eth_files.front()));
    EXPECT_EQ(found(kx::ifcfg_find("wlan0", KXNETIF_ETH, mac.c_str())), at(suse, "ifcfg-wlan-id-" + mac));
    EXPECT_EQ(found(kx::ifcfg_find("br-x", KXNETIF_BRIDGE, mac.c_str())), "<none>");
    // "ifcfg-" itself is not where the stem is looked for.
    EXPECT_EQ(found(kx::ifcfg_find("ifc1", KXNETIF_ETH, mac.c_str())), "<none>");
    // An empty stem (leading digit) is held by every candidate: the first wins.
    std::string first;
    for (const auto &name : listing(suse))
        if (first.empty() && name.find(mac) != std::string::npos) first = name;
    EXPECT_EQ(found(kx::ifcfg_find("0eth", KXNETIF_ETH, mac.c_str())), at(suse, first));
}

TEST_F(IfcfgTest, IndexAnswersExactlyAsTheDeviceSearch) {
    // Duplicates (several files name one device), near-misses and odd entries.
    for (int i = 0; i < 6; ++i) put(redhat, "ifcfg-dup" + std::to_string(i), "DEVICE=eth0\nDEVICE=eth1 # c\n");
    put(redhat, "ifcfg-near", "DEVICE=eth0.5x\nDEVICE=\"eth2\"\n DEVICE=eth3\nDEVICE=eth4\tx\nDEVICE=\n");
    put(redhat, "ifcfg-nul", std::string("DEVICE=eth5\0tail\nDEVICE=eth6", 28));
    put(redhat, "ifcfg-eth7", "DEVICE=eth8\r\n");
    put(redhat, "ifcfg-empty", "");
    put(redhat, "ifcfg-blank", "DEVICE= eth9\n");
    put(redhat, "other", "DEVICE=eth10\n");
    kxtest::make_dirs(at(redhat, "ifcfg-dir"));
    ASSERT_EQ(mkfifo(at(redhat, "ifcfg-pipe").c_str(), 0600), 0); // must not block the search

    kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
    for (const char *device : {"eth0", "eth1", "eth0.5", "eth0.5x", "eth2", "\"eth2\"", "eth3", "eth4", "eth4\tx",
                               "eth5", "eth6", "eth7", "eth8", "eth9", "eth10", "", " eth9", "eth", "eth00"}) {
        SCOPED_TRACE(device);
        auto expected = kx::ifcfg_find_by_device_key(device);
        EXPECT_EQ(found(index.find(device)), found(expected));
        EXPECT_EQ(found(kx::ifcfg_find(device, KXNETIF_ETH, nullptr, &index)),
                  found(kx::ifcfg_find(device, KXNETIF_ETH, nullptr)));
    }
    EXPECT_EQ(found(index.find("eth5")), at(redhat, "ifcfg-nul"));
    EXPECT_EQ(found(index.find("eth4")), at(redhat, "ifcfg-near"));
    EXPECT_EQ(found(index.find(" eth9")), at(redhat, "ifcfg-blank")); // compared as given
    EXPECT_EQ(found(index.find("eth10")), "<none>");
    EXPECT_EQ(index.find(nullptr), std::nullopt);

    std::filesystem::remove_all(root.at(redhat));
    EXPECT_EQ(kx::ifcfg_device_index::build().size(), 0u);
}

// The index's directory listings only spare status queries: own files in
// either directory and a dangling link (listed, but no status) answer as
// without the index.  Like the key index, it describes the directories as
// they were when the query built it.
TEST_F(IfcfgTest, IndexedOwnFileChecksAnswerAsStatusQueries) {
    for (int suse_layout : {0, 1}) {
        SCOPED_TRACE(suse_layout);
        kx::state().suse_flag = suse_layout;
        put(redhat, "ifcfg-own0", "DEVICE=other\n");
        put(suse, "ifcfg-own1", "x\n");
        put(redhat, "ifcfg-keyed", "DEVICE=own2\n");
        std::filesystem::remove(at(redhat, "ifcfg-own3"));
        ASSERT_EQ(symlink("/nonexistent", at(redhat, "ifcfg-own3").c_str()), 0);
        kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
        for (const char *device : {"own0", "own1", "own2", "own3", "none"}) {
            SCOPED_TRACE(device);
            EXPECT_EQ(found(kx::ifcfg_find(device, KXNETIF_ETH, "00:11", &index)),
                      found(kx::ifcfg_find(device, KXNETIF_ETH, "00:11")));
        }
        EXPECT_EQ(found(kx::ifcfg_find("own1", KXNETIF_ETH, nullptr, &index)), at(suse, "ifcfg-own1"));
    }
    // An absent directory is known to hold no file; the answers stay the same.
    kx::state().suse_flag = 0;
    std::filesystem::remove_all(root.at(suse));
    kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
    for (const char *device : {"own0", "own1", "own2", "none"}) {
        SCOPED_TRACE(device);
        EXPECT_EQ(found(kx::ifcfg_find(device, KXNETIF_ETH, nullptr, &index)),
                  found(kx::ifcfg_find(device, KXNETIF_ETH, nullptr)));
    }
    EXPECT_EQ(found(kx::ifcfg_find("own0", KXNETIF_ETH, nullptr, &index)), at(redhat, "ifcfg-own0"));
}

} // namespace

namespace {

// A deep sandbox root: paths longer than any fixed buffer come back whole.
TEST_F(IfcfgTest, LongPathsAreNeverCutShort) {
    std::string deep = root.path() + "/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                       std::string(200, 'f');
    kxtest::make_dirs(deep + suse);
    setenv("KXNET_ROOT", deep.c_str(), 1);
    kx::state().suse_flag = 1;
    ASSERT_EQ(kx::ifcfg_write_bridge("br0"), 0);
    std::string expected = deep + suse + "/ifcfg-br0";
    ASSERT_GT(expected.size(), 600u);
    EXPECT_EQ(found(kx::ifcfg_find("br0", KXNETIF_BRIDGE, nullptr)), expected);
    kx::ifcfg_remove("br0");
    EXPECT_FALSE(kxtest::file_exists(expected));
}

} // namespace
