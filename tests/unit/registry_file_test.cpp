// Loading and saving the registry file: the round trip, malformed and
// hostile lines, long lines, the save's file mode and temporary files, and
// the configured-networks query.
#include "netops/public_list.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/atomic_file.h"
#include "test_support.h"
#include "vlan/naming.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

// The registry lists rendered as text, one record a line, for comparison.
std::vector<std::string> dump_registry() {
    std::vector<std::string> out;
    for (const kx::network &n : kx::registry_networks()) {
        std::string line = "net " + n.network_id() + " " + n.bridge() + " [" + n.phys_iface() + "]";
        for (const std::string &i : n.ifaces()) line += " " + i;
        out.push_back(line);
    }
    for (const kx::vlan_parent &p : kx::registry_vlans()) {
        std::string line = "vlan " + p.name();
        for (const kx::vlan_entry &e : p.entries()) line += " " + std::to_string(e.vid) + "=" + e.name;
        out.push_back(line);
    }
    for (const kx::addr_parent &p : kx::registry_addrs()) {
        std::string line = "addr " + p.name();
        for (const kx::addr_entry &e : p.entries()) line += " " + e.text;
        out.push_back(line);
    }
    return out;
}

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        kx::vlan_name_type() = 3;
        kxtest::make_dirs(root_.at("/etc/kx"));
    }
    void TearDown() override {
        kx::networks_clear();
        kx::vlans_clear();
        kx::addrs_clear();
    }
    std::string path() const { return root_.at("/etc/kx/kxnet.conf"); }
    void write(const std::string &content) { kxtest::write_file(path(), content); }
    std::vector<std::string> load(const std::string &content) {
        write(content);
        EXPECT_EQ(kx::registry_load(), 0);
        return dump_registry();
    }
    kxtest::scratch_root root_;
};

TEST_F(RegistryFile, SaveWritesTheDocumentedLinesAndLoadsThemBack) {
    const std::string text = "VNID_br0=\"web\"\n"
                             "IFLST_br0=\"eth1 eth2 eth3\"\n"
                             "VNID_br1=\"db\"\n"
                             "VNID_br2=\"lab\"\n"
                             "IFLST_br2=\"eth4\"\n"
                             "VLAN_eth0=\"5 100 7\"\n"
                             "VLAN_eth9=\"1\"\n"
                             "ADDR_eth1=\"10.0.0.1/24 dhcp\"\n"
                             "ADDR_br1=\"192.168.1.2/16\"\n";
    auto first = load(text);
    EXPECT_EQ(first, (std::vector<std::string>{
                         "net web br0 [eth1] eth2 eth3", "net db br1 []", "net lab br2 [eth4]",
                         "vlan eth0 5=eth0.5 100=eth0.100 7=eth0.7", "vlan eth9 1=eth9.1",
                         "addr eth1 10.0.0.1/24 dhcp", "addr br1 192.168.1.2/16"}));
    kxtest::write_file(path(), "");
    kx::registry_save();
    EXPECT_EQ(kxtest::read_file(path()), text);
    EXPECT_EQ(kx::registry_load(), 0);
    EXPECT_EQ(dump_registry(), first);

    auto log = kxtest::log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "Network 'web' with  bridge 'br0' added"), 2);
}

// A device whose last VLAN went is not written; empty values read back as
// no record; a negative id survives the round trip.
TEST_F(RegistryFile, EmptiedRecordsAreNotWritten) {
    kx::vlan_parent *vp = kx::vlan_add("eth0", 5);
    kx::vlan_remove(vp, kx::vlan_find(vp, 5)); // drops eth0
    kx::vlan_add("eth1", -1);
    kx::registry_save();
    EXPECT_EQ(kxtest::read_file(path()), "VLAN_eth1=\"-1\"\n");
    EXPECT_EQ(load("VLAN_eth1=\"-1\"\nVLAN_eth3=\"\"\nADDR_eth2=\"\"\n"),
              std::vector<std::string>{"vlan eth1 -1=eth1.4294967295"});
}

TEST_F(RegistryFile, MalformedLinesAreIgnored) {
    auto got = load("# comment\n"
                    "\n"
                    "VNID_br0=web\n"       // no opening quote
                    "VNID_br1\"db\"\n"     // no '='
                    "VNID_br2=\"lab\n"     // no closing quote
                    "IFLST_br3=\"eth7\"\n" // before its network
                    "VNID_br3=\"ok\"trailing junk\n"
                    "vnid_br4=\"lower\"\n" // unknown prefix
                    " VNID_br5=\"indented\"\n"
                    "IFLST_brX=\"eth8\"\n" // unknown bridge
                    "VLAN_eth0=\"abc 12x -3 +4 99999999999999999999999\"\n"
                    "IFLST_br3=\"   eth1   eth2  \"\n");
    EXPECT_EQ(got,
              (std::vector<std::string>{
                  "net ok br3 [eth1] eth2",
                  "vlan eth0 0=eth0.0 12=eth0.12 -3=eth0.4294967293 4=eth0.4 -1=eth0.4294967295"}));
}

TEST_F(RegistryFile, KeysAreCutAndDuplicatesKept) {
    auto got = load("VNID_bridge-name-of-20ch=\"n1\"\n"
                    "IFLST_bridge-name-of-20ch=\"eth1\"\n"
                    "VNID_br0=\"a\"\n"
                    "VNID_br0=\"b\"\n"
                    "IFLST_br0=\"eth2\"\n"
                    "IFLST_br0=\"eth3\"\n"
                    "VLAN_eth0=\"7 7\"\n"
                    "VLAN_eth0=\"7\"\n"
                    "ADDR_interface-name-long=\"1.2.3.4/8 tab\there\"\n");
    EXPECT_EQ(got, (std::vector<std::string>{
                       "net n1 bridge-name-of- [eth1]", "net a br0 [eth2] eth3", "net b br0 []",
                       "vlan eth0 7=eth0.7", "addr interface-name- 1.2.3.4/8 tab\there"}));
}

TEST_F(RegistryFile, MissingEmptyAndEpochFilesAreEmpty) {
    kx::network_add_to_registry("stale", "br9", 0);
    EXPECT_EQ(kx::registry_load(), 0); // no file
    EXPECT_TRUE(dump_registry().empty());
    EXPECT_TRUE(load("").empty());
    write("VNID_br0=\"web\"\n");
    struct utimbuf epoch {
        0, 0
    };
    ASSERT_EQ(utime(path().c_str(), &epoch), 0);
    EXPECT_EQ(kx::registry_load(), 0);
    EXPECT_TRUE(dump_registry().empty());
}

TEST_F(RegistryFile, LongLinesSurviveALoadAndSave) {
    std::string ifaces, addrs, vids;
    std::vector<std::string> expect_ifaces, expect_addrs;
    for (int i = 0; i < 60; ++i) {
        ifaces += (i ? " " : "") + ("veth" + std::to_string(1000 + i) + ".0");
        addrs += (i ? " " : "") + ("10.1." + std::to_string(i) + ".250/24");
        vids += (i ? " " : "") + std::to_string(1000 + i);
    }
    const std::string text = "VNID_br0=\"web\"\nIFLST_br0=\"" + ifaces + "\"\nVLAN_eth0=\"" + vids +
                             "\"\nADDR_eth1=\"" + addrs + "\"\n";
    ASSERT_GT(ifaces.size(), 255u);
    write(text);
    ASSERT_EQ(kx::registry_load(), 0);
    kx::registry_save();
    EXPECT_EQ(kxtest::read_file(path()), text);
}

// Lists too long for one line of the load's bound: each was read from lines
// that fit, so the save must split them the same way, or the next load
// drops the merged line whole.
TEST_F(RegistryFile, ListsPastOneLineSurviveASaveAndLoad) {
    auto spread = [](const std::string &head, const std::vector<std::string> &items) {
        std::string text;
        for (std::size_t i = 0; i < items.size(); ++i)
            text += (i % 10000 == 0 ? (i ? "\"\n" : "") + head + "=\"" : " ") + items[i];
        return text + "\"\n";
    };
    std::vector<std::string> ifaces, vids, addrs;
    for (int i = 0; i < 110000; ++i) ifaces.push_back("veth" + std::to_string(i) + ".0");
    for (int i = 1; i <= 120000; ++i) vids.push_back(std::to_string(-i));
    for (int i = 0; i < 120000; ++i)
        addrs.push_back("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) +
                        "." + std::to_string(i & 255) + "/24");
    write("VNID_br0=\"web\"\n" + spread("IFLST_br0", ifaces) + spread("VLAN_eth0", vids) +
          spread("ADDR_eth1", addrs));
    ASSERT_EQ(kx::registry_load(), 0);
    const auto loaded = dump_registry();
    ASSERT_EQ(loaded.size(), 3u);

    kx::registry_save();
    const std::string saved = kxtest::read_file(path());
    std::size_t start = 0, lines = 0;
    for (std::size_t end; (end = saved.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_LE(end - start, kx::registry_line_max);
        ++lines;
    }
    EXPECT_GT(lines, 4u);
    EXPECT_NE(saved.find("VLAN_eth0=\"-1 -2 -3 "), std::string::npos);
    EXPECT_EQ(kx::registry_load(), 0);
    EXPECT_EQ(dump_registry(), loaded);
    kx::network *net = kx::network_find_by_bridge("br0");
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->ifaces().size(), 109999u);
}

TEST_F(RegistryFile, SaveIsMode0600AndLeavesNoTemporaryFile) {
    load("VNID_br0=\"web\"\n");
    ::unlink(path().c_str());
    ::umask(0);
    kx::registry_save();
    struct stat info {};
    ASSERT_EQ(stat(path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(kxtest::list_dir(root_.at("/etc/kx")), std::vector<std::string>{"kxnet.conf"});
}

TEST_F(RegistryFile, RefusedRenameKeepsTheOldRegistryAndNoTemporaryFile) {
    load("VNID_br0=\"web\"\n");
    ::unlink(path().c_str());
    kxtest::write_file(path() + "/keep", "old"); // the registry path is now a directory
    EXPECT_NE(kx::registry_save(), 0);
    EXPECT_EQ(kxtest::read_file(path() + "/keep"), "old");
    EXPECT_EQ(kxtest::list_dir(root_.at("/etc/kx")), std::vector<std::string>{"kxnet.conf"});
}

// A host without a registry yet has no directory for it: the save makes it.
TEST_F(RegistryFile, MissingDirectoryIsMadeWithMode0755) {
    load("VNID_br0=\"web\"\n");
    std::filesystem::remove_all(root_.at("/etc"));
    ::umask(077);
    EXPECT_EQ(kx::registry_save(), 0);
    ::umask(022);
    struct stat info {};
    ASSERT_EQ(stat(root_.at("/etc/kx").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(kxtest::read_file(path()), "VNID_br0=\"web\"\n");
}

// A save that cannot happen says so, in its result and in the log.
TEST_F(RegistryFile, FailedSaveIsReportedAndLogged) {
    load("VNID_br0=\"web\"\n");
    std::filesystem::remove_all(root_.at("/etc"));
    kxtest::write_file(root_.at("/etc"), "a file where the directory belongs");
    kxtest::clear_log();
    EXPECT_NE(kx::registry_save(), 0);
    auto log = kxtest::log_messages();
    EXPECT_EQ(log, std::vector<std::string>{"Failed to save kxnet.conf"});
}

// Temporaries of writers killed before their rename go with the next save,
// also those of other files of the directory; whatever we cannot prove ours
// (no mark, a mark naming another file, another owner, not a temporary's
// name, not a regular file) stays byte for byte.
TEST_F(RegistryFile, SaveRemovesOnlyTemporariesProvenOurs) {
    load("VNID_br0=\"web\"\n");
    const std::string dir = root_.at("/etc/kx");
    struct planted {
        const char *name;
        const char *mark; // nullptr: none; "" the file's own name
        uid_t owner;
        bool directory;
        bool removed;
    };
    const planted table[] = {
        {".kxnet.conf.kxnet-a1B2c3", "", 0, false, true},
        {".ifcfg-br0.kxnet-ZZZZZZ", "", 0, false, true},
        {".kxnet.conf.kxnet-Kq7z2A", nullptr, 0, false, false},
        {".kxnet.conf.kxnet-b2C3d4", ".kxnet.conf.kxnet-a1B2c3", 0, false, false},
        {".kxnet.conf.kxnet-c3D4e5", "", 65534, false, false},
        {".kxnet.conf.kxnet-d4E5f6", "", 0, true, false},
        {"kxnetcfg.a1B2c3", "", 0, false, false},
        {"kxnet.conf.kxnet-e5F6g7", "", 0, false, false},
        {".kxnet.conf.kxnet-abc", "", 0, false, false},
        {".kxnet.conf.kxnet-ab-def", "", 0, false, false},
        {".kxnet.conf-kxnet-f6G7h8", "", 0, false, false},
        {".kxnet-g7H8i9", "", 0, false, false},
    };
    for (const planted &p : table) {
        const std::string path = dir + "/" + p.name;
        if (p.directory) {
            kxtest::make_dirs(path);
        } else {
            kxtest::write_file(path, std::string("keep ") + p.name, 0600);
        }
        if (p.owner != 0) { ASSERT_EQ(lchown(path.c_str(), p.owner, p.owner), 0); }
        if (p.mark == nullptr) continue;
        const std::string value = *p.mark != '\0' ? p.mark : p.name;
        if (lsetxattr(path.c_str(), kx::temporary_mark, value.data(), value.size(), 0) != 0)
            GTEST_SKIP() << "no trusted extended attributes here";
    }
    EXPECT_EQ(kx::registry_save(), 0);
    for (const planted &p : table) {
        SCOPED_TRACE(p.name);
        const std::string path = dir + "/" + p.name;
        EXPECT_EQ(kxtest::file_exists(path), !p.removed);
        if (!p.removed && !p.directory) { EXPECT_EQ(kxtest::read_file(path), std::string("keep ") + p.name); }
    }
}

TEST_F(RegistryFile, HostileInputLoadsWithoutHarm) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 50; ++round) {
        std::string bytes(4096, '\0');
        for (char &c : bytes) c = static_cast<char>(rng());
        if (round % 2) bytes = "VNID_br0=\"w\"\nIFLST_br0=\"" + bytes;
        write(bytes);
        EXPECT_EQ(kx::registry_load(), 0);
    }
    std::string nul_line = std::string("VNID_b\0r=\"x\"\n", 13) +
                           std::string("VNID_br1=\"a\0b\"\n", 15) + "VNID_br2=\"ok\"\n";
    EXPECT_EQ(load(nul_line), std::vector<std::string>{"net ok br2 []"});
    EXPECT_TRUE(load("VNID_br0=\"\nIFLST_=\"\nVLAN_=\"\"\"\nADDR_x=\"a b").empty());
}

TEST_F(RegistryFile, HugeLinesAreBoundedAndManyItemsKept) {
    std::string many, vids;
    for (int i = 0; i < 10000; ++i) many += "e" + std::to_string(i) + " ";
    for (int i = 0; i < 150000; ++i) vids += std::to_string(i % 100000) + " ";
    std::string megabyte = "IFLST_br0=\"" + std::string(kx::registry_line_max, 'x') + "\"\n";
    auto got = load("VNID_br0=\"web\"\n" + megabyte + "IFLST_br0=\"" + many + "\"\n" +
                    std::string(3 << 20, 'y') + "\nVNID_br1=\"after\"\n" + "VLAN_eth0=\"" + vids +
                    "\"\nADDR_eth0=\"" + many + "\"\n");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[1], "net after br1 []");
    kx::network *net = kx::network_find_by_bridge("br0");
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->phys_iface(), "e0");
    EXPECT_EQ(net->ifaces().size(), 9999u);
    EXPECT_EQ(kx::vlan_find_parent("eth0")->entries().size(), 100000u); // repeated ids are held once
}

TEST_F(RegistryFile, ConfiguredNetworksAreACopyInOrder) {
    kxnet_network_list *empty = kxnet_get_configured_networks();
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(kx::list_empty(empty->link));
    free(empty);

    write("VNID_br0=\"web\"\nIFLST_br0=\"eth1 eth2 eth3\"\nVNID_br1=\"db\"\nIFLST_br1=\"eth4\"\n");
    kxnet_network_list *list = kxnet_get_configured_networks();
    ASSERT_NE(list, nullptr);
    std::vector<std::string> got;
    for (kxnet_network *n : kx::records<kxnet_network>(list->link)) {
        std::string line = std::string(n->network_id) + " " + n->bridge + " " + n->phys_iface;
        for (kxnet_iface *i : kx::records<kxnet_iface>(n->ifaces))
            line += std::string(" ") + i->name;
        got.push_back(line);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"web br0 eth1 eth2 eth3", "db br1 eth4"}));
    kx::networks_clear(); // the copy is independent of the registry
    EXPECT_STREQ(reinterpret_cast<kxnet_network *>(list->link.next)->network_id, "web");
    kxnet_free_networks(list);
    EXPECT_TRUE(kx::list_empty(list->link));
    free(list);
}

// A read error must not pass for a shorter registry: the next save would
// write the loss back.
TEST_F(RegistryFile, ReadErrorFailsTheLoadAndTheQuery) {
    ::mkdir(path().c_str(), 0700); // opens, but every read fails
    kx::network_add_to_registry("stale", "br9", 0);
    EXPECT_LT(kx::registry_load(), 0);
    EXPECT_TRUE(dump_registry().empty());
    EXPECT_EQ(kxnet_get_configured_networks(), nullptr);
}

} // namespace
