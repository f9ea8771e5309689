// 802.1Q on the stock kernel: "/proc/net/vlan/config" as the naming mirror
// and the device collector read it, and the names the library predicts for
// VLAN devices the kernel creates under each naming type.
#include "kxnet_ct.h"
#include "netinfo/host_collectors.h"
#include "netinfo/store.h"
#include "ns_env.h"
#include "sys/fd.h"
#include "vlan/naming.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <linux/if_vlan.h>
#include <linux/sockios.h>
#include <memory>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace ns = kxtest::ns;

namespace {

constexpr const char *kernel_vlan_config = "/proc/net/vlan/config";

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? "" : text.substr(start);
}

// One ioctl of the legacy VLAN interface: 0 or the errno.
int vlan_request(vlan_ioctl_args &args) {
    kx::unique_fd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock) return errno;
    return ioctl(sock.get(), SIOCSIFVLAN, &args) == 0 ? 0 : errno;
}

int set_kernel_name_type(unsigned type) {
    vlan_ioctl_args args{};
    args.cmd = SET_VLAN_NAME_TYPE_CMD;
    args.u.name_type = type;
    return vlan_request(args);
}

int kernel_add_vlan(const std::string &device, unsigned vid) {
    vlan_ioctl_args args{};
    args.cmd = ADD_VLAN_CMD;
    std::snprintf(args.device1, sizeof args.device1, "%s", device.c_str());
    args.u.VID = static_cast<int>(vid);
    return vlan_request(args);
}

class VlanKernel : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ns::sh("modprobe 8021q"), 0);
        ASSERT_EQ(ns::sh("ip link add d0 type dummy"), 0) << "dummy devices";
        ASSERT_TRUE(ns::device_exists("d0"));
        // The library opens its production path; under the sandbox root it
        // leads to the kernel's file.
        std::filesystem::create_directories(ns::at("/proc/net/vlan"));
        std::filesystem::create_symlink(kernel_vlan_config, ns::at(kernel_vlan_config));
    }
};

TEST_F(VlanKernel, ConfigHasTheHeaderAndDeviceLinesTheReaderExpects) {
    ASSERT_EQ(ns::sh("ip link add link d0 name d0.5 type vlan id 5"), 0);
    auto lines = lines_of(kxtest::read_file(kernel_vlan_config));
    ASSERT_EQ(lines.size(), 3u) << kxtest::read_file(kernel_vlan_config);
    EXPECT_EQ(lines[0].rfind("VLAN Dev name", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "Name-Type: VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD");

    // Device lines: name | id | parent, padded with spaces.
    std::vector<std::string> fields;
    std::istringstream row(lines[2]);
    for (std::string field; std::getline(row, field, '|');) fields.push_back(trimmed(field));
    EXPECT_EQ(fields, (std::vector<std::string>{"d0.5", "5", "d0"}));

    // The header reader applies the naming type and stops at the first device.
    kx::vlan_name_type() = 0;
    std::unique_ptr<FILE, int (*)(FILE *)> stream(std::fopen(kernel_vlan_config, "r"), std::fclose);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(kx::read_vlan_config_header(stream.get()));
    EXPECT_EQ(kx::vlan_name_type(), 3);
    char rest[256] = {};
    ASSERT_NE(std::fgets(rest, sizeof rest, stream.get()), nullptr);
    EXPECT_EQ(std::string(rest), lines[2] + "\n");

    // The collector reports the kernel's device to the store.
    kx::read_vlan_devices();
    const kx::iface_record *vlan = kx::find_iface("d0.5", 0, KXNETIF_VLAN);
    ASSERT_NE(vlan, nullptr);
    EXPECT_EQ(vlan->vlan_id(), 5);
    ASSERT_NE(vlan->mask & KXNETIF_F_VLAN_DEV, 0u);
    EXPECT_STREQ(vlan->vlan_dev(), "d0");
    kx::store_reset_for_tests();
}

TEST_F(VlanKernel, PredictedNamesMatchTheKernelUnderEveryNamingType) {
    ASSERT_EQ(ns::sh("ip link add twelve-chars type dummy"), 0);
    unsigned vid = 10;
    for (unsigned type = 0; type < 4; ++type) {
        SCOPED_TRACE("naming type " + std::to_string(type));
        ASSERT_EQ(set_kernel_name_type(type), 0);
        kx::vlan_name_type() = type == 3 ? 0 : 3;
        kx::read_vlan_config(0);
        EXPECT_EQ(kx::vlan_name_type(), static_cast<int>(type));
        // A short parent, and one whose name leaves no room for the id.
        for (const char *parent : {"d0", "twelve-chars"}) {
            ++vid;
            char predicted[16];
            kx::vlan_device_name(parent, vid, predicted);
            ASSERT_EQ(kernel_add_vlan(parent, vid), 0) << parent << " " << vid;
            EXPECT_TRUE(ns::device_exists(predicted))
                << "predicted " << predicted << "; kernel has:\n" << kxtest::read_file(kernel_vlan_config);
        }
    }
}

} // namespace
