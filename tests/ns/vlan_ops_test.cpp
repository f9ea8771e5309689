// VLAN operations on a kernel without 802.1Q: the kernel's refusal is the
// real rollback path (no ifcfg file, no registry entry), and malformed
// arguments are refused before anything is written.
#include "frame/state.h"
#include "kxnet_ct.h"
#include "ns_env.h"

#include <algorithm>
#include <cstring>
#include <string>

using kxtest::file_exists;
using kxtest::log_messages;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

const std::string registry = "VNID_br0=\"net-a\"\nIFLST_br0=\"e0\"\nVLAN_e9=\"7\"\n";

class VlanOpsTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        kx::state().suse_flag = 0;
        kxtest::make_dirs(ns::at("/etc/sysconfig/network-scripts"));
        kxtest::make_dirs(ns::at("/etc/kx"));
        write_file(ns::at("/etc/kx/kxnet.conf"), registry);
        ns::add_veth("e0", "e0peer");
        ns::set_up("e0");
        kxtest::clear_log();
    }

    static bool logged(const std::string &message) {
        auto messages = log_messages();
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }
};

TEST_F(VlanOpsTest, KernelWithoutVlansUndoesTheFileAndTheEntry) {
    if (file_exists("/proc/net/vlan/config")) GTEST_SKIP() << "this kernel has 802.1Q";
    const std::string before = ns::files_under("/etc");
    char name[16];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(kxnet_vlan_new("e0", 5, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_STREQ(name, "e0.5") << "the name is handed out before the kernel is asked";
    EXPECT_FALSE(file_exists(ns::at("/etc/sysconfig/network-scripts/ifcfg-e0.5")));
    EXPECT_EQ(ns::files_under("/etc"), before);
    EXPECT_TRUE(logged("Failed to add VLAN 5 over \"e0\", err = 3"));

    // Nothing to remove either: the name is no VLAN device.
    EXPECT_EQ(kxnet_vlan_del("e0"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(kxnet_vlan_del("e0.5"), KXNET_ERR_NOT_FOUND);
    EXPECT_TRUE(logged("Failed to remove VLAN \"e0.5\", err = 2"));
    EXPECT_EQ(ns::files_under("/etc"), before);
}

TEST_F(VlanOpsTest, ParentAndNameAreProbedBeforeAnythingIsWritten) {
    const std::string before = ns::files_under("/etc");
    char name[16] = "";
    EXPECT_EQ(kxnet_vlan_new("nodev", 5, name, sizeof name), KXNET_ERR_NOT_FOUND);
    EXPECT_STREQ(name, "") << "a missing parent gives no name";

    ns::add_veth("down0", "down0peer");
    EXPECT_EQ(kxnet_vlan_new("down0", 5, name, sizeof name), KXNET_ERR_DOWN);
    EXPECT_TRUE(logged("Failed to add VLAN 5 over \"down0\", err = 9"));

    // A device under the VLAN's name exists already, up or down.
    ns::add_veth("e0.6", "e0.6peer");
    EXPECT_EQ(kxnet_vlan_new("e0", 6, name, sizeof name), KXNET_ERR_EXISTS);
    EXPECT_STREQ(name, "e0.6");

    // A buffer too short for a device name is never written.
    char small[15];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(kxnet_vlan_new("e0", 6, small, sizeof small), KXNET_ERR_EXISTS);
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, 'x'));
    char big[16];
    std::memset(big, 'x', sizeof big);
    EXPECT_EQ(kxnet_vlan_new("e0", 6, big, 15), KXNET_ERR_EXISTS);
    EXPECT_EQ(big[0], 'x');
    EXPECT_EQ(ns::files_under("/etc"), before);
}

TEST_F(VlanOpsTest, MalformedArgumentsAreRefusedWithoutWriting) {
    const std::string before = ns::files_under("/etc");
    char name[16];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(kxnet_vlan_new("e0", 4096, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_EQ(kxnet_vlan_new("e0", 4294967295u, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_TRUE(logged("Failed to add VLAN -1 over \"e0\", err = 3"));
    EXPECT_EQ(name[0], 'x');

    // Names a device cannot have, or that would break the registry line or
    // the ifcfg path; and names the kernel would cut to another device.
    ns::add_veth("fifteen-chars-x", "fifteen-peer");
    ns::set_up("fifteen-chars-x");
    for (const char *bad : {"", "e0/../x", "e0\n", "e\"0", "e'0", "e 0", "e=0", "e0:1",
                            "fifteen-chars-xy", "a-name-far-too-long-for-any-device"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(kxnet_vlan_new(bad, 5, name, sizeof name), KXNET_ERR_INVALID);
        EXPECT_EQ(kxnet_vlan_del(bad), KXNET_ERR_INVALID);
    }
    EXPECT_EQ(kxnet_vlan_new(nullptr, 5, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_EQ(kxnet_vlan_del(nullptr), KXNET_ERR_INVALID);
    EXPECT_TRUE(logged("Failed to remove VLAN \"(null)\", err = 3"));
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(ns::files_under("/etc"), before);
    EXPECT_TRUE(ns::device_exists("fifteen-chars-x"));
}

} // namespace
