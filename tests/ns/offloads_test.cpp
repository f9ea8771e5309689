// Offload settings copied between real devices, checked with the kernel's
// own answer to the legacy ethtool reads; unreadable settings, failing
// writes and names no device can carry.
#include "devices/offloads.h"
#include "kxnet_ct.h"
#include "ns_env.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

using kxtest::log_messages;
namespace ns = kxtest::ns;

namespace {

using kxtest::ns::kernel_offloads;
using kxtest::ns::offloads;
using kxtest::ns::set_kernel_offloads;

offloads as_array(const kx::hwcs_config &c) {
    auto bit = [](uint32_t v) { return v != 0 ? 1u : 0u; };
    return {bit(c.rxcsum), bit(c.txcsum), bit(c.sg), bit(c.tso), bit(c.gso)};
}

std::vector<std::string> error_lines() {
    std::vector<std::string> found;
    for (const auto &m : log_messages())
        if (m.rfind("ERROR: ", 0) == 0) found.push_back(m);
    return found;
}

class OffloadsTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ns::add_veth("src0", "src0p");
        ns::add_veth("dst0", "dst0p");
        kxtest::clear_log();
    }
    void TearDown() override {
        if (!ns::available()) return;
        ns::sh("ip link del src0 2>/dev/null; ip link del dst0 2>/dev/null");
    }
};

TEST_F(OffloadsTest, SettingsTravelFromOneDeviceToAnother) {
    ASSERT_EQ(kernel_offloads("dst0"), (offloads{1, 1, 1, 1, 1})) << "a fresh veth offloads everything";
    // Settings the kernel keeps together: TCP segmentation needs scatter-gather,
    // which needs transmit checksums; generic segmentation needs it too.
    for (const offloads &pattern : {offloads{0, 1, 1, 0, 0}, offloads{1, 0, 0, 0, 0}, offloads{0, 1, 1, 0, 1},
                                   offloads{1, 1, 1, 1, 1}}) {
        set_kernel_offloads("src0", pattern);
        kx::hwcs_config config;
        config.rxcsum = config.txcsum = config.sg = config.tso = config.gso = 7; // overwritten by the read
        kx::get_if_hwcscfg("src0", config);
        EXPECT_EQ(as_array(config), pattern);
        kx::copy_offloads_to_port("br-any", "dst0", config);
        EXPECT_EQ(kernel_offloads("dst0"), pattern);
    }
    EXPECT_TRUE(error_lines().empty());
}

TEST_F(OffloadsTest, NameTooLongForADeviceIssuesNoRequest) {
    // A device carries the first 15 characters; neither call may reach it.
    ns::add_veth("abcdefghijklmno", "abcp");
    set_kernel_offloads("abcdefghijklmno", {0, 0, 0, 0, 0});
    kx::hwcs_config config;
    config.rxcsum = config.txcsum = config.sg = config.tso = config.gso = 7;
    kx::get_if_hwcscfg("abcdefghijklmnop", config);
    EXPECT_EQ(config.rxcsum + config.txcsum + config.sg + config.tso + config.gso, 35u) << "left untouched";
    kx::hwcs_config on;
    on.rxcsum = on.txcsum = on.sg = on.tso = on.gso = 1;
    kx::set_if_hwcscfg("abcdefghijklmnop", on);
    EXPECT_EQ(kernel_offloads("abcdefghijklmno"), (offloads{0, 0, 0, 0, 0}));
    kx::get_if_hwcscfg(nullptr, config);
    EXPECT_EQ(error_lines(), (std::vector<std::string>{"ERROR: get_if_hwcscfg: Invalid device name abcdefghijklmnop",
                                                       "ERROR: set_if_hwcscfg: Invalid device name abcdefghijklmnop",
                                                       "ERROR: get_if_hwcscfg: Invalid device name (null)"}));
    ns::sh("ip link del abcdefghijklmno");
}

TEST_F(OffloadsTest, UnreadableSettingsAreWrittenAsOff) {
    kx::hwcs_config config;
    config.rxcsum = config.txcsum = config.sg = config.tso = config.gso = 1;
    kx::get_if_hwcscfg("ghost0", config);
    EXPECT_EQ(as_array(config), (offloads{0, 0, 0, 0, 0}));
    const std::string e = std::to_string(ENODEV);
    EXPECT_EQ(error_lines(), (std::vector<std::string>{
                                 "ERROR: get_if_hwcscfg: Unable to get RXCSUM on ghost0: errno=" + e,
                                 "ERROR: get_if_hwcscfg: Unable to get TXCSUM on ghost0: errno=" + e,
                                 "ERROR: get_if_hwcscfg: Unable to get SG on ghost0: errno=" + e,
                                 "ERROR: get_if_hwcscfg: Unable to get GTSO on ghost0: errno=" + e,
                                 "ERROR: get_if_hwcscfg: Unable to get GGSO on ghost0: errno=" + e}));
    kx::set_if_hwcscfg("dst0", config);
    EXPECT_EQ(kernel_offloads("dst0"), (offloads{0, 0, 0, 0, 0}));

    kxtest::clear_log();
    kx::set_if_hwcscfg("ghost0", config);
    EXPECT_EQ(error_lines(), (std::vector<std::string>{
                                 "ERROR: set_if_hwcscfg: Unable to set RXCSUM on ghost0: errno=" + e,
                                 "ERROR: set_if_hwcscfg: Unable to set TXCSUM on ghost0: errno=" + e,
                                 "ERROR: set_if_hwcscfg: Unable to set SG on ghost0: errno=" + e,
                                 "ERROR: set_if_hwcscfg: Unable to set TSO on ghost0: errno=" + e,
                                 "ERROR: set_if_hwcscfg: Unable to set GSO on ghost0: errno=" + e}));
}

// A bridge has no receive checksum offload to switch: that write fails, and
// the four after it still land.
TEST_F(OffloadsTest, OneFailingWriteLeavesTheOthersWritten) {
    ns::add_bridge("brx");
    const offloads before = kernel_offloads("brx");
    ASSERT_EQ(before[3], 1u);
    ASSERT_EQ(before[4], 1u);
    kx::hwcs_config config;
    config.rxcsum = before[0] == 0 ? 1 : 0;
    config.txcsum = config.sg = 1;
    config.tso = config.gso = 0;
    kx::set_if_hwcscfg("brx", config);
    EXPECT_EQ(error_lines(), std::vector<std::string>{"ERROR: set_if_hwcscfg: Unable to set RXCSUM on brx: errno=" +
                                                      std::to_string(EOPNOTSUPP)});
    EXPECT_EQ(kernel_offloads("brx"), (offloads{before[0], 1, 1, 0, 0}));
    ns::sh("ip link del brx");
}

} // namespace
