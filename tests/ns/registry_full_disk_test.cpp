// The registry save on a file system that runs out of space: the old
// registry stays whole and no temporary file is left.
#include "ns_env.h"
#include "registry/model.h"
#include "registry/registry_file.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

class RegistryFullDisk : public NsTest {};

TEST_F(RegistryFullDisk, OldRegistrySurvivesAFullDisk) {
    const std::string dir = kxtest::ns::at("/etc/kx");
    kxtest::make_dirs(dir);
    ASSERT_EQ(kxtest::ns::sh("mount -t tmpfs -o size=16k tmpfs '" + dir + "'"), 0);
    const std::string path = dir + "/kxnet.conf";
    const std::string old = "VNID_br0=\"web\"\nIFLST_br0=\"eth1 eth2\"\n";
    kxtest::write_file(path, old, 0600);
    ASSERT_EQ(kx::registry_load(), 0);

    // Far more than the file system holds.
    for (int i = 0; i < 4000; ++i) {
        std::string n = std::to_string(i);
        kx::network_add_to_registry(("network-" + n).c_str(), ("br" + n).c_str(), 0);
        kx::network_iface_add(kx::network_find_by_bridge(("br" + n).c_str()), "eth9");
    }
    kx::registry_save();
    EXPECT_EQ(kxtest::read_file(path), old);
    EXPECT_EQ(kxtest::list_dir(dir), std::vector<std::string>{"kxnet.conf"});

    // With room again, the same save goes through.
    kx::networks_clear();
    kx::network_add_to_registry("db", "br1", 0);
    kx::registry_save();
    EXPECT_EQ(kxtest::read_file(path), "VNID_br1=\"db\"\n");
    EXPECT_EQ(kxtest::list_dir(dir), std::vector<std::string>{"kxnet.conf"});
    kx::networks_clear();
    kxtest::ns::sh("umount '" + dir + "'");
}

// A bridge that exists is probed at each load and reported so.
TEST_F(RegistryFullDisk, LoadProbesEachNetworkDevice) {
    kxtest::ns::add_bridge("web");
    kxtest::write_file(kxtest::ns::at("/etc/kx/kxnet.conf"), "VNID_web=\"web\"\nVNID_br1=\"db\"\n");
    ASSERT_EQ(kx::registry_load(), 0);
    EXPECT_TRUE(kx::network_find_by_id("web")->preexisting());
    EXPECT_FALSE(kx::network_find_by_id("db")->preexisting());
    auto log = kxtest::log_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Network 'web' with linux bridge 'web' added"),
              log.end());
    kx::networks_clear();
}

} // namespace
