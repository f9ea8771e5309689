// Files the library did not make survive its writes: an administrator's
// backups and notes beside the registry and the ifcfg files, whatever their
// names, stay byte for byte through every operation that rewrites those
// files; only a temporary that carries our mark is swept.
#include "frame/state.h"
#include "kxnet_ct.h"
#include "ns_env.h"
#include "sys/atomic_file.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

using kxtest::file_exists;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

struct planted {
    const char *dir; // "registry" or "ifcfg": the layout's folder
    const char *name;
    bool ours;       // carries our mark: the next write there removes it
};

// Names an administrator might keep, the shapes mkstemp templates make, and
// our own temporary's shape without the mark.
const planted files[] = {
    {"registry", "kxnetcfg.backup", false},
    {"registry", "kxnetcfg.a1B2c3", false},
    {"registry", "kxnetcfg.XXXXXX", false},
    {"registry", "kxnet.conf.orig", false},
    {"registry", ".kxnet.conf.kxnet-Kq7z2A", false},
    {"registry", ".kxnet.conf.kxnet-Sw3ptA", true},
    {"ifcfg", "iface.backup", false},
    {"ifcfg", "vlan.backup", false},
    {"ifcfg", "bridge.abc123", false},
    {"ifcfg", "iface.Kq7z2A", false},
    {"ifcfg", "vlan.Zz9900", false},
    {"ifcfg", ".ifcfg-vaddr.kxnet-Kq7z2A", false},
    {"ifcfg", ".ifcfg-br0.kxnet-abc123", false},
    {"ifcfg", ".ifcfg-vaddr.kxnet-Sw3ptB", true},
};

class ForeignFilesTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        ns::add_veth("vaddr", "vpeer");
        ns::set_up("vaddr");
        ns::add_veth("vport", "vportpeer");
        ns::set_up("vport");
    }
    void TearDown() override { kx::state().suse_flag = 0; }

    static std::string folder(const planted &p, const std::string &ifcfg_dir) {
        return ns::at(std::string(p.dir) == "registry" ? "/etc/kx" : ifcfg_dir);
    }
};

TEST_F(ForeignFilesTest, OperationsThatRewriteFilesKeepEveryFileTheyDidNotMake) {
    struct layout {
        int suse;
        std::string ifcfg_dir;
        const char *address;
    };
    for (const auto &[suse, ifcfg_dir, address] : {layout{0, "/etc/sysconfig/network-scripts", "10.7.0.1/24"},
                                                   layout{1, "/etc/sysconfig/network", "10.7.1.1/24"}}) {
        SCOPED_TRACE(ifcfg_dir);
        kx::state().suse_flag = suse;
        kxtest::make_dirs(ns::at("/etc/kx"));
        kxtest::make_dirs(ns::at(ifcfg_dir));
        write_file(ns::at(ifcfg_dir + "/ifcfg-vaddr"), "DEVICE=vaddr\nBOOTPROTO=static\n", 0600);
        for (const planted &p : files) {
            const std::string path = folder(p, ifcfg_dir) + "/" + p.name;
            write_file(path, std::string("kept by hand: ") + p.name + "\n", 0600);
            if (p.ours && setxattr(path.c_str(), kx::temporary_mark, p.name, std::string(p.name).size(), 0) != 0)
                GTEST_SKIP() << "no trusted extended attributes here";
        }

        char bridge[IFNAMSIZ] = "";
        ASSERT_EQ(kxnet_br_new("net-a", bridge), KXNET_OK);
        write_file(ns::at("/sys/class/net/" + std::string(bridge) + "/bridge/via_phys_dev"), "0");
        EXPECT_EQ(kxnet_br_attach_CT("net-a", "vport"), KXNET_OK);
        EXPECT_EQ(compat_kxnet_addr_set("vaddr", address), KXNET_OK);
        char vlan[IFNAMSIZ];
        // Without 802.1Q the kernel refuses the VLAN, after its ifcfg file was
        // written in one layout; only what that leaves beside it counts here.
        if (kxnet_vlan_new("vaddr", 7, vlan, sizeof vlan) == KXNET_OK) {
            EXPECT_EQ(kxnet_vlan_del(vlan), KXNET_OK);
        }
        EXPECT_EQ(kxnet_br_detach_CT("vport"), KXNET_OK);
        EXPECT_EQ(kxnet_br_del("net-a"), KXNET_OK);

        for (const planted &p : files) {
            SCOPED_TRACE(p.name);
            const std::string path = folder(p, ifcfg_dir) + "/" + p.name;
            if (p.ours) {
                EXPECT_FALSE(file_exists(path));
            } else {
                EXPECT_EQ(read_file(path), std::string("kept by hand: ") + p.name + "\n");
            }
        }
    }
}

// An adopted bridge (a device named like the network) may carry its
// administrator's ifcfg file: adding the network keeps it as it is, and
// neither removing the network nor undoing an add whose registry save
// failed removes it.  A file the library wrote for the adopted bridge goes
// with the network.
TEST_F(ForeignFilesTest, AnAdoptedBridgesOwnFileIsKept) {
    struct layout {
        int suse;
        std::string ifcfg_dir;
        bool writes_bridge_file;
    };
    const std::string admin = "BOOTPROTO='static'\nBRIDGE='yes'\nBRIDGE_PORTS='eth9'\nIPADDR='192.0.2.1/24'\n";
    for (const auto &[suse, ifcfg_dir, writes_bridge_file] :
         {layout{0, "/etc/sysconfig/network-scripts", false}, layout{1, "/etc/sysconfig/network", true}}) {
        SCOPED_TRACE(ifcfg_dir);
        kx::state().suse_flag = suse;
        kxtest::make_dirs(ns::at("/etc/kx"));
        kxtest::make_dirs(ns::at(ifcfg_dir));
        const std::string file = ns::at(ifcfg_dir + "/ifcfg-lan");
        ns::add_bridge("lan");
        write_file(file, admin, 0644);

        ASSERT_EQ(kxnet_br_new("lan", nullptr), KXNET_OK);
        EXPECT_EQ(read_file(file), admin);
        ASSERT_EQ(kxnet_br_del("lan"), KXNET_OK);
        EXPECT_TRUE(ns::device_exists("lan"));
        ASSERT_TRUE(file_exists(file));
        EXPECT_EQ(read_file(file), admin);

        // The undo of an add whose registry cannot be saved.
        const std::string registry_dir = ns::at("/etc/kx");
        ASSERT_EQ(ns::sh("mount --bind '" + registry_dir + "' '" + registry_dir + "' && mount -o remount,bind,ro '" +
                         registry_dir + "'"),
                  0);
        EXPECT_EQ(kxnet_br_new("lan", nullptr), KXNET_ERR_SYSTEM);
        ASSERT_EQ(ns::sh("umount '" + registry_dir + "'"), 0);
        EXPECT_TRUE(ns::device_exists("lan"));
        ASSERT_TRUE(file_exists(file));
        EXPECT_EQ(read_file(file), admin);

        // Without a file of its own the bridge gets the library's, which goes
        // with the network.
        ASSERT_EQ(unlink(file.c_str()), 0);
        ASSERT_EQ(kxnet_br_new("lan", nullptr), KXNET_OK);
        EXPECT_EQ(file_exists(file), writes_bridge_file);
        ASSERT_EQ(kxnet_br_del("lan"), KXNET_OK);
        EXPECT_FALSE(file_exists(file));
        EXPECT_EQ(ns::sh("ip link del lan"), 0);
    }
}

// The modes the library gives its files hold whatever the caller's umask.
TEST_F(ForeignFilesTest, FileModesHoldWhateverTheUmask) {
    kx::state().suse_flag = 1;
    kxtest::make_dirs(ns::at("/etc/kx"));
    kxtest::make_dirs(ns::at("/etc/sysconfig/network"));
    const mode_t old = umask(0777);
    char bridge[IFNAMSIZ] = "";
    const int made = kxnet_br_new("net-m", bridge);
    umask(old);
    ASSERT_EQ(made, KXNET_OK);
    for (const std::string &path : {ns::at("/etc/kx/kxnet.conf"), ns::at("/etc/sysconfig/network/ifcfg-" + std::string(bridge)),
                                    ns::at("/tmp/kxnetcfg.lck")}) {
        SCOPED_TRACE(path);
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
    }
}

} // namespace
