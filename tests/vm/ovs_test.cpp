// Open vSwitch on the stock kernel with Debian's userspace: the module the
// library keys on, and ports added through the real ovs-vsctl.
#include "devices/ports.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "ovs_env.h"
#include "sys/command.h"

#include <algorithm>
#include <cerrno>

namespace ns = kxtest::ns;

TEST_F(OvsKernel, LibraryAddsPortsThroughTheRealSwitch) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    EXPECT_EQ(kx::state().ovs_enabled, 1) << "the loaded module is seen";

    const char *const add_bridge[] = {vsctl, "--", "--may-exist", "add-br", "kxbr0", nullptr};
    ASSERT_TRUE(kx::run_command(add_bridge).succeeded());
    EXPECT_TRUE(ns::device_exists("kxbr0"));
    ns::add_veth("p0", "p0peer");

    ASSERT_EQ(kx::bridge_add_port("kxbr0", "p0", false, false), 0);
    EXPECT_EQ(ports("kxbr0"), std::vector<std::string>{"p0"});
    EXPECT_NE(ns::capture("ip -o link show p0").find("master ovs-system"), std::string::npos)
        << "the kernel datapath took the port";

    // A second add is accepted and leaves one port.
    EXPECT_EQ(kx::bridge_add_port("kxbr0", "p0", false, false), 0);
    EXPECT_EQ(ports("kxbr0"), std::vector<std::string>{"p0"});
}

TEST_F(OvsKernel, RefusedAddIsReportedWithTheToolsStatus) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    ASSERT_EQ(kx::state().ovs_enabled, 1);
    ns::add_veth("p1", "p1peer");
    kxtest::clear_log();

    EXPECT_EQ(kx::bridge_add_port("nosuchbr", "p1", false, false), -EIO);
    auto messages = kxtest::log_messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Failed to add device 'p1' to the bridge 'nosuchbr', err = 1"),
              messages.end());
}
