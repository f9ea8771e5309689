// Bad input to kxnetctl: unknown words, missing arguments, over-long names
// and malformed values each give one line on standard error, a non-zero
// status, and leave the registry, ifcfg files and devices as they were.
#include "test_support.h"
#include "tool_env.h"

namespace ns = kxtest::ns;
using namespace kxtest::tool;

namespace {

struct bad_case {
    std::vector<std::string> args;
    int status;
    std::string words;
};

class BadInput : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kxnetctl({"network", "add", "web"}).status, 0);
        add_nic("nic0");
        ASSERT_EQ(kxnetctl({"addr", "set", "nic0", "10.9.9.1/24"}).status, 0);
    }
};

TEST_F(BadInput, OneLineANonZeroStatusAndNothingChanged) {
    const std::string long_name(16, 'n');
    const std::string long_id(64, 'i');
    const std::vector<bad_case> cases = {
        {{"frobnicate"}, 2, "unknown subcommand or argument \"frobnicate\""},
        {{"network", "frob"}, 2, "\"frob\""},
        {{"network", "list", "--frob"}, 2, "--frob"},
        {{"--color=purple", "check"}, 2, "purple"},
        {{}, 2, "subcommand is required"},
        {{"network", "add"}, 2, "ID is required"},
        {{"attach", "web"}, 2, "IFACE is required"},
        {{"vlan", "add", "nic0"}, 2, "VID is required"},
        {{"network", "del", "web", "extra"}, 2, "extra"},
        {{"network", "add", long_id}, 13, "is not valid"},
        {{"network", "add", "db", "--bridge", long_name}, 13, "longer than 15 characters"},
        {{"attach", "web", long_name}, 13, "longer than 15 characters"},
        {{"detach", long_name}, 13, "longer than 15 characters"},
        {{"vlan", "add", long_name, "5"}, 13, "longer than 15 characters"},
        {{"vlan", "del", long_name}, 13, "longer than 15 characters"},
        {{"addr", "set", long_name, "10.0.0.1"}, 13, "longer than 15 characters"},
        {{"vlan", "add", "nic0", "abc"}, 13, "VLAN id \"abc\" is not a number from 0 to 4095"},
        {{"vlan", "add", "nic0", "--", "-1"}, 13, "VLAN id \"-1\""},
        {{"vlan", "add", "nic0", "70000"}, 13, "VLAN id \"70000\""},
        {{"vlan", "add", "nic0", "4096"}, 13, "VLAN id \"4096\""},
        {{"addr", "set", "nic0", "dhcpx"}, 13, "address \"dhcpx\" is neither"},
        {{"addr", "set", "nic0", "10.0.0.1/33"}, 13, "address \"10.0.0.1/33\""},
        {{"addr", "set", "nic0", "10.0.0"}, 13, "address \"10.0.0\""},
        {{"show", "--ct", "abc"}, 13, "container id \"abc\""},
        {{"show", "--ct-range", "9-1"}, 13, "container range \"9-1\""},
        {{"show", "--kind", "eth,tape"}, 13, "kind \"eth,tape\""},
        {{"show", "--ct", "1", "--all"}, 2, "exclude each other"},
    };
    const std::string before = host_picture();
    for (const auto &c : cases) {
        std::string joined;
        for (const auto &a : c.args) joined += a + " ";
        result r = kxnetctl(c.args);
        EXPECT_EQ(r.status, c.status) << joined << "\n" << r.err;
        ASSERT_EQ(r.err_lines().size(), 1u) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find(c.words), std::string::npos) << joined << "\n" << r.err;
        EXPECT_EQ(r.out, "") << joined;
        EXPECT_EQ(host_picture(), before) << joined;
    }
}

TEST_F(BadInput, NegativeVlanIdWithoutSeparator) {
    // "-1" where a VLAN id belongs is refused, whichever way the parser takes it.
    result r = kxnetctl({"vlan", "add", "nic0", "-1"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
}

TEST_F(BadInput, HelpNamesTheExitStatuses) {
    result r = kxnetctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("13  not valid (KXNET_ERR_INVALID)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("check"), std::string::npos);
}

} // namespace
