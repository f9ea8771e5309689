// kxnetctl check on a clean host and after each kind of drift made behind
// the library's back, and host stop/start bringing the devices back.
#include "test_support.h"
#include "tool_env.h"

#include <cstdio>

namespace ns = kxtest::ns;
using kxtest::read_file;
using kxtest::write_file;
using namespace kxtest::tool;

namespace {

// The kinds of the findings of one check run, which must exit 1.
std::vector<std::string> drift_kinds() {
    result r = kxnetctl({"--json", "check"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    return finding_kinds(r);
}

// Two networks: web with a NIC and a container's port, db with one further
// interface registered by hand; an address on a second NIC.
class CheckTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_NO_FATAL_FAILURE(build_web_host());
    }
    void TearDown() override {
        if (!IsSkipped()) kxct("stop 101");
    }
};

TEST_F(CheckTest, CleanThenEachKindOfDrift) {
    expect_clean();
    const nlohmann::json doc = kxnetctl({"--json", "check"}).json();
    EXPECT_EQ(doc.at("clean"), true);
    EXPECT_EQ(doc.at("checked").at("pairs"), 1);
    EXPECT_EQ(doc.at("checked").at("addresses"), 1);

    ns::sh("ip link set veth101.0 nomaster");
    EXPECT_EQ(drift_kinds(), std::vector<std::string>{"pair-detached"});
    ns::sh("ip link set veth101.0 master brweb");

    ns::sh("ip link set nic0 nomaster");
    result text = kxnetctl({"check"});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.out, "port-detached  network \"web\": physical interface nic0 is not a port of brweb\n");
    ns::sh("ip link set nic0 master brweb");

    ns::sh("ip addr del 10.9.9.1/24 dev nic1");
    EXPECT_EQ(drift_kinds(), std::vector<std::string>{"address-missing"});
    ns::sh("ip addr add 10.9.9.1/24 dev nic1");

    ns::sh("ip link set brweb down");
    EXPECT_EQ(drift_kinds(), std::vector<std::string>{"bridge-down"});
    ns::sh("ip link set brweb up");
    expect_clean();

    ns::sh("ip link del nic0");
    EXPECT_EQ(drift_kinds(), std::vector<std::string>{"port-missing"});

    ns::sh("ip link del brweb");
    auto kinds = drift_kinds();
    EXPECT_EQ(kinds.front(), "bridge-missing");
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), "pair-detached"), kinds.end());
}

TEST_F(CheckTest, RegisteredVlanWithoutDevice) {
    // A VLAN the registry holds but the kernel has not (this kernel may lack
    // 802.1Q altogether, so the entry is written as the library writes it).
    std::string registry = read_file(ns::at("/etc/kx/kxnet.conf"));
    write_file(ns::at("/etc/kx/kxnet.conf"), registry + "VLAN_nic1=\"7\"\n", 0600);
    result r = kxnetctl({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "vlan-missing  VLAN 7 over nic1 is registered but has no device\n");
}

TEST_F(CheckTest, BridgeIfcfgFileInTheSuseLayout) {
    write_file(ns::at("/etc/SuSE-release"), "SUSE\n");
    kxtest::make_dirs(ns::at("/etc/sysconfig/network"));
    ASSERT_EQ(kxnetctl({"network", "add", "db", "--bridge", "brdb"}).status, 0);
    ASSERT_TRUE(kxtest::file_exists(ns::at("/etc/sysconfig/network/ifcfg-brdb")));
    // brweb was made before the layout changed, so it has no file either.
    std::remove(ns::at("/etc/sysconfig/network/ifcfg-brdb").c_str());
    auto kinds = drift_kinds();
    EXPECT_EQ(kinds, (std::vector<std::string>{"ifcfg-missing", "ifcfg-missing"}));
}

TEST_F(CheckTest, HostStopAndStartBringTheDevicesBack) {
    EXPECT_EQ(kxnetctl({"host", "stop"}).status, 0);
    EXPECT_FALSE(ns::device_exists("brweb"));
    EXPECT_EQ(drift_kinds().front(), "bridge-missing");
    result started = kxnetctl({"--json", "host", "start"});
    EXPECT_EQ(started.status, 0) << started.err;
    EXPECT_EQ(started.json().at("host"), "started");
    EXPECT_EQ(master_of("nic0"), "brweb");
    EXPECT_EQ(master_of("veth101.0"), "brweb");
    expect_clean();
}

} // namespace
