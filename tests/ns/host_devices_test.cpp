// Host start and stop on the real kernel: registered Linux bridges come back
// with their further and physical interfaces, a bridge that cannot be made
// costs only its own network, stop removes every registered bridge, and
// neither touches the registry or the ifcfg files.
#include "frame/state.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"

#include <algorithm>
#include <string>
#include <vector>

using kxtest::log_messages;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

class HostDevicesTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (stopped()) return;
        write_file(ns::at("/etc/sysconfig/network-scripts/ifcfg-e1"), "DEVICE=e1\nBOOTPROTO=dhcp\n");
        for (const char *device : {"e1", "e2", "e3", "e4", "e5"}) {
            ns::add_veth(device, std::string(device) + "p");
            ns::set_up(device);
        }
        // The container kernel's via-physical-device switch, which a
        // network's physical interface turns on, stands under the root.
        for (const char *bridge : {"br0", "br1"})
            write_file(ns::at(std::string("/sys/class/net/") + bridge + "/bridge/via_phys_dev"), "0");
        kxtest::clear_log();
    }

    static std::vector<std::string> outcome_lines() {
        std::vector<std::string> lines;
        for (const auto &m : log_messages())
            if (m.rfind("Configured devices", 0) == 0) lines.push_back(m);
        return lines;
    }
};

TEST_F(HostDevicesTest, StartRestoresBridgesAndPortsAndStopRemovesThem) {
    // net-a: physical e1, further e2 and e3.  net-bad: a bridge name the
    // kernel refuses, so e4 must stay unattached.  net-c: physical e5 only.
    // lanbr: registered over a bridge that existed before its network.
    ns::add_bridge("lanbr");
    write_file(ns::at("/etc/kx/kxnet.conf"),
               "VNID_br0=\"net-a\"\nIFLST_br0=\"e1 e2 e3\"\n"
               "VNID_br:bad=\"net-bad\"\nIFLST_br:bad=\"e4\"\n"
               "VNID_br1=\"net-c\"\nIFLST_br1=\"e5\"\n"
               "VNID_lanbr=\"lanbr\"\n");
    const std::string files = ns::files_under("/etc");
    const std::string host_before = ns::device_dump();

    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(ns::bridge_ports("br0"), (std::vector<std::string>{"e1", "e2", "e3"}));
    EXPECT_EQ(ns::bridge_ports("br1"), std::vector<std::string>{"e5"});
    for (const char *bridge : {"br0", "br1", "lanbr"}) {
        SCOPED_TRACE(bridge);
        EXPECT_TRUE(ns::is_up(bridge));
        EXPECT_EQ(ns::sysfs(bridge, "bridge/forward_delay"), "0");
    }
    EXPECT_FALSE(ns::device_exists("br:bad"));
    EXPECT_FALSE(kxtest::file_exists("/sys/class/net/e4/master")) << "no port of a bridge not made";
    EXPECT_EQ(outcome_lines(), std::vector<std::string>{"Configured devices are restored"});

    // A second start changes nothing: bridges and ports are reused.
    const std::string restored = ns::device_dump();
    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(ns::device_dump(), restored);

    kxtest::clear_log();
    ASSERT_EQ(kxnet_destroy_devices(), KXNET_OK);
    for (const char *bridge : {"br0", "br1", "lanbr"}) EXPECT_FALSE(ns::device_exists(bridge)) << bridge;
    EXPECT_EQ(ns::device_dump(), host_before.substr(0, host_before.find("lanbr")) +
                                     host_before.substr(host_before.find('\n', host_before.find("lanbr")) + 1));
    EXPECT_EQ(outcome_lines(), std::vector<std::string>{"Configured devices are shut down"});

    // Stop then start brings back the same devices, ports and settings.
    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(ns::device_dump(), restored);
    EXPECT_EQ(ns::files_under("/etc"), files);
}

TEST_F(HostDevicesTest, EmptyRegistryLogsBothLinesAndTakesNoLock) {
    const std::string before = ns::device_dump();
    EXPECT_EQ(kxnet_init_devices(), KXNET_OK);
    write_file(ns::at("/etc/kx/kxnet.conf"), "");
    EXPECT_EQ(kxnet_destroy_devices(), KXNET_OK);
    EXPECT_EQ(outcome_lines(), (std::vector<std::string>{"Configured devices are restored",
                                                         "Configured devices are shut down"}));
    for (const auto &m : log_messages()) EXPECT_EQ(m.rfind("libkxnet: ", 0), std::string::npos) << m;
    EXPECT_EQ(ns::device_dump(), before);
}

} // namespace
