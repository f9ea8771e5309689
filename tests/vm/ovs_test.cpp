// Open vSwitch on the stock kernel with Debian's userspace: the module the
// library keys on, and ports added through the real ovs-vsctl.  Each test
// process runs its own ovsdb-server and ovs-vswitchd in its namespace.
#include "devices/ports.h"
#include "frame/command.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "ns_env.h"

#include <algorithm>
#include <filesystem>

namespace ns = kxtest::ns;

namespace {

constexpr const char *vsctl = "/usr/bin/ovs-vsctl";

class OvsKernel : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ns::sh("modprobe openvswitch"), 0);
        ASSERT_EQ(ns::sh("mkdir -p /etc/openvswitch /var/run/openvswitch /var/log/openvswitch && "
                         "rm -f /etc/openvswitch/conf.db && "
                         "ovsdb-tool create /etc/openvswitch/conf.db /usr/share/openvswitch/vswitch.ovsschema"),
                  0);
        ASSERT_EQ(ns::sh("ovsdb-server /etc/openvswitch/conf.db --remote=punix:/var/run/openvswitch/db.sock "
                         "--pidfile --detach --log-file"),
                  0);
        started_ = true;
        ASSERT_EQ(ns::sh("ovs-vsctl --no-wait init"), 0);
        ASSERT_EQ(ns::sh("ovs-vswitchd --pidfile --detach --log-file"), 0);
        // Production paths for the kernel module and the tool, reached from
        // inside the sandbox root.
        for (const char *path : {"/sys/module/openvswitch", vsctl}) {
            std::filesystem::create_directories(std::filesystem::path(ns::at(path)).parent_path());
            std::filesystem::create_symlink(path, ns::at(path));
        }
    }

    void TearDown() override {
        if (!started_) return;
        ns::sh("ovs-appctl -t ovs-vswitchd exit 2>/dev/null; ovs-appctl -t ovsdb-server exit 2>/dev/null");
    }

    static std::vector<std::string> ports(const std::string &bridge) {
        std::vector<std::string> list;
        std::string out = ns::capture(std::string(vsctl) + " list-ports " + bridge);
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            list.push_back(out.substr(start, end - start));
            start = end + 1;
        }
        return list;
    }

    bool started_ = false;
};

TEST_F(OvsKernel, LibraryAddsPortsThroughTheRealSwitch) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    EXPECT_EQ(kx::state().ovs_enabled, 1) << "the loaded module is seen";

    const char *const add_bridge[] = {vsctl, "--", "--may-exist", "add-br", "kxbr0", nullptr};
    ASSERT_EQ(kx::run_command(add_bridge), 0);
    EXPECT_TRUE(ns::device_exists("kxbr0"));
    ns::add_veth("p0", "p0peer");

    ASSERT_EQ(kx::bridge_add_port("kxbr0", "p0", false, false), KXNET_OK);
    EXPECT_EQ(ports("kxbr0"), std::vector<std::string>{"p0"});
    EXPECT_NE(ns::capture("ip -o link show p0").find("master ovs-system"), std::string::npos)
        << "the kernel datapath took the port";

    // A second add is accepted and leaves one port.
    EXPECT_EQ(kx::bridge_add_port("kxbr0", "p0", false, false), KXNET_OK);
    EXPECT_EQ(ports("kxbr0"), std::vector<std::string>{"p0"});
}

TEST_F(OvsKernel, RefusedAddIsReportedWithTheToolsStatus) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    ASSERT_EQ(kx::state().ovs_enabled, 1);
    ns::add_veth("p1", "p1peer");
    kxtest::clear_log();

    EXPECT_EQ(kx::bridge_add_port("nosuchbr", "p1", false, false), KXNET_ERR_SYSTEM);
    auto messages = kxtest::log_messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Failed to add device 'p1' to the bridge 'nosuchbr', err = 1"),
              messages.end());
}

} // namespace
