// VLAN devices through the exported calls on a kernel with 802.1Q (a dummy
// device d0 standing in for the NIC): names under each naming type and on
// SuSE, the device, registry and ifcfg file that a creation leaves, removal
// of what the registry does or does not know, and host stop and start of
// VLANs and the bridges they are ports of.
#include "frame/state.h"
#include "kxnet_ct.h"
#include "ns_env.h"
#include "sys/fd.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <linux/if_vlan.h>
#include <linux/sockios.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>

using kxtest::file_exists;
using kxtest::log_messages;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

constexpr const char *kernel_vlan_config = "/proc/net/vlan/config";
const std::string scripts = "/etc/sysconfig/network-scripts/";

int set_kernel_name_type(unsigned type) {
    vlan_ioctl_args args{};
    args.cmd = SET_VLAN_NAME_TYPE_CMD;
    args.u.name_type = type;
    kx::unique_fd sock(socket(AF_INET, SOCK_DGRAM, 0));
    return ioctl(sock.get(), SIOCSIFVLAN, &args) == 0 ? 0 : errno;
}

std::string kernel_name_type() {
    std::string config = read_file(kernel_vlan_config);
    size_t start = config.find("Name-Type: ");
    return start == std::string::npos ? "" : config.substr(start + 11, config.find('\n', start) - start - 11);
}

std::string registry_text() {
    const std::string path = ns::at("/etc/kx/kxnet.conf");
    return file_exists(path) ? read_file(path) : "";
}

// The device's line of the dump: up state, bridge, VLAN id and parent.
std::string dump_line(const std::string &device) {
    std::string dump = ns::device_dump();
    size_t start = dump.find(device + " ");
    if (start == std::string::npos || (start != 0 && dump[start - 1] != '\n')) return "";
    return dump.substr(start, dump.find('\n', start) - start);
}

bool logged(const std::string &message) {
    auto messages = log_messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

class VlanApi : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ns::sh("modprobe 8021q"), 0);
        for (const char *device : {"d0", "d1"}) {
            ASSERT_EQ(ns::sh(std::string("ip link add ") + device + " type dummy"), 0);
            ns::set_up(device);
        }
        std::filesystem::create_directories(ns::at("/proc/net/vlan"));
        std::filesystem::create_symlink(kernel_vlan_config, ns::at(kernel_vlan_config));
        kxtest::make_dirs(ns::at("/etc/kx"));
        kxtest::make_dirs(ns::at(scripts));
        kxtest::make_dirs(ns::at("/etc/sysconfig/network"));
    }
};

TEST_F(VlanApi, NamesFollowTheKernelsNamingTypeAndEveryRecordAgrees) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    char name[16];
    std::memset(name, 'x', sizeof name);
    ASSERT_EQ(kxnet_vlan_new("d0", 5, name, sizeof name), KXNET_OK);
    EXPECT_STREQ(name, "d0.5");
    EXPECT_EQ(dump_line("d0.5"), "d0.5 up vlan 5 over d0");
    EXPECT_EQ(registry_text(), "VLAN_d0=\"5\"\n");
    EXPECT_EQ(read_file(ns::at(scripts + "ifcfg-d0.5")), "BOOTPROTO=static\nDEVICE=d0.5\nONBOOT=yes\nVLAN=yes\n");
    EXPECT_TRUE(logged("VLAN 5 over \"d0\" is added"));

    EXPECT_EQ(kxnet_vlan_new("d0", 5, name, sizeof name), KXNET_ERR_EXISTS);
    ASSERT_EQ(kxnet_vlan_del("d0.5"), KXNET_OK);
    EXPECT_FALSE(ns::device_exists("d0.5"));
    EXPECT_FALSE(file_exists(ns::at(scripts + "ifcfg-d0.5")));
    EXPECT_EQ(registry_text(), "");
    EXPECT_TRUE(logged("VLAN \"d0.5\" is removed"));

    ASSERT_EQ(set_kernel_name_type(VLAN_NAME_TYPE_PLUS_VID), 0);
    ASSERT_EQ(kxnet_vlan_new("d0", 5, name, sizeof name), KXNET_OK);
    EXPECT_STREQ(name, "vlan0005");
    EXPECT_EQ(dump_line("vlan0005"), "vlan0005 up vlan 5 over d0");

    // The highest id the kernel takes, over the second device.
    ASSERT_EQ(kxnet_vlan_new("d1", 4094, name, sizeof name), KXNET_OK);
    EXPECT_STREQ(name, "vlan4094");
    EXPECT_EQ(dump_line("vlan4094"), "vlan4094 up vlan 4094 over d1");
    // 4095 is a valid id to the library, which names it and asks the kernel;
    // the kernel reserves it (ERANGE), and the undo leaves no trace.  4096 is
    // refused before anything happens.
    const std::string files = ns::files_under("/etc");
    ASSERT_EQ(kxnet_vlan_new("d1", 4095, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_STREQ(name, "vlan4095");
    EXPECT_TRUE(logged("Failed to create VLAN 4095 over \"d1\", errno = 34"));
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(kxnet_vlan_new("d1", 4096, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_EQ(name[0], 'x');
    EXPECT_FALSE(logged("Failed to create VLAN 4096 over \"d1\", errno = 34"));
    EXPECT_EQ(ns::files_under("/etc"), files);
    EXPECT_EQ(registry_text(), "VLAN_d0=\"5\"\nVLAN_d1=\"4094\"\n");
    EXPECT_TRUE(file_exists(ns::at(scripts + "ifcfg-vlan0005")));
    EXPECT_TRUE(file_exists(ns::at(scripts + "ifcfg-vlan4094")));
}

TEST_F(VlanApi, RefusalsLeaveKernelAndFilesAlone) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    ASSERT_EQ(ns::sh("ip link add link d0 name d0.7 type vlan id 7"), 0);
    const std::string files = ns::files_under("/etc");

    char name[16] = "";
    EXPECT_EQ(kxnet_vlan_new("d0", 7, name, sizeof name), KXNET_ERR_EXISTS);
    EXPECT_STREQ(name, "d0.7") << "the name is handed out before the check that fails";

    ASSERT_EQ(ns::sh("ip link set d1 down"), 0);
    const std::string devices = ns::device_dump();
    EXPECT_EQ(kxnet_vlan_new("d1", 5, name, sizeof name), KXNET_ERR_DOWN);
    EXPECT_EQ(kxnet_vlan_new("d1", 4096, name, sizeof name), KXNET_ERR_INVALID);
    EXPECT_EQ(kxnet_vlan_new("d1.5", 5, name, sizeof name), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(kxnet_vlan_del("d1"), KXNET_ERR_NOT_FOUND) << "no VLAN device";
    EXPECT_EQ(ns::device_dump(), devices);
    EXPECT_EQ(ns::files_under("/etc"), files);

    // A buffer too short for a device name stays untouched on success too.
    char small[15];
    std::memset(small, 'x', sizeof small);
    ASSERT_EQ(kxnet_vlan_new("d0", 8, small, sizeof small), KXNET_OK);
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, 'x'));
    EXPECT_TRUE(ns::is_up("d0.8"));
}

TEST_F(VlanApi, SuseSwitchesToUnpaddedNamesAtCreationAndAtHostStart) {
    write_file(ns::at("/etc/SuSE-release"), "");
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    ASSERT_EQ(kx::state().suse_flag, 1);
    ASSERT_EQ(kernel_name_type(), "VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD");

    char name[16] = "";
    ASSERT_EQ(kxnet_vlan_new("d0", 5, name, sizeof name), KXNET_OK);
    EXPECT_STREQ(name, "vlan5");
    EXPECT_EQ(kernel_name_type(), "VLAN_NAME_TYPE_PLUS_VID_NO_PAD");
    EXPECT_EQ(dump_line("vlan5"), "vlan5 up vlan 5 over d0");
    EXPECT_EQ(read_file(ns::at("/etc/sysconfig/network/ifcfg-vlan5")),
              "BOOTPROTO='static'\nETHERDEVICE='d0'\nSTARTMODE='auto'\nUSERCONTROL='no'\n");

    // Host stop, someone puts the kernel back on its default naming, host
    // start switches it again before the device is made.
    ASSERT_EQ(kxnet_destroy_devices(), KXNET_OK);
    EXPECT_FALSE(ns::device_exists("vlan5"));
    ASSERT_EQ(set_kernel_name_type(VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD), 0);
    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(kernel_name_type(), "VLAN_NAME_TYPE_PLUS_VID_NO_PAD");
    EXPECT_EQ(dump_line("vlan5"), "vlan5 up vlan 5 over d0");
    EXPECT_FALSE(ns::device_exists("d0.5"));
}

TEST_F(VlanApi, RemovalClearsEveryTraceEvenOfVlansTheRegistryDoesNotKnow) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    // Made outside the library, with an ifcfg file of its own.
    ASSERT_EQ(ns::sh("ip link add link d0 name d0.9 type vlan id 9"), 0);
    write_file(ns::at(scripts + "ifcfg-d0.9"), "DEVICE=d0.9\n");
    ASSERT_EQ(kxnet_vlan_del("d0.9"), KXNET_OK);
    EXPECT_FALSE(ns::device_exists("d0.9"));
    EXPECT_FALSE(file_exists(ns::at(scripts + "ifcfg-d0.9")));

    // A VLAN that is a network's physical interface and has an address.
    char name[16] = "";
    ASSERT_EQ(kxnet_vlan_new("d0", 10, name, sizeof name), KXNET_OK);
    write_file(ns::at("/etc/kx/kxnet.conf"),
               "VNID_br0=\"net-a\"\nIFLST_br0=\"d0.10 d1\"\nVLAN_d0=\"10 11\"\n"
               "ADDR_d0.10=\"10.0.0.1/24\"\nADDR_d1=\"10.0.1.1/24\"\n");
    ASSERT_EQ(kxnet_vlan_del("d0.10"), KXNET_OK);
    EXPECT_EQ(registry_text(), "VNID_br0=\"net-a\"\nIFLST_br0=\"d1\"\nVLAN_d0=\"11\"\nADDR_d1=\"10.0.1.1/24\"\n");
    EXPECT_FALSE(ns::device_exists("d0.10"));
}

TEST_F(VlanApi, HostStopAndStartBringBackVlansBridgesAndPorts) {
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    kx::state().ovs_enabled = 0;
    for (const char *bridge : {"br0", "br1"})
        write_file(ns::at(std::string("/sys/class/net/") + bridge + "/bridge/via_phys_dev"), "0");
    // Two VLANs over d0 and one over d1; br0 carries d1 as its physical
    // interface and two VLANs, br1 the third VLAN alone.
    const std::string registry = "VNID_br0=\"net-a\"\nIFLST_br0=\"d1 d0.5 d0.6\"\n"
                                 "VNID_br1=\"net-b\"\nIFLST_br1=\"d1.100\"\n"
                                 "VLAN_d0=\"5 6\"\nVLAN_d1=\"100\"\n";
    write_file(ns::at("/etc/kx/kxnet.conf"), registry);
    const std::string files = ns::files_under("/etc");

    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    const std::string started = ns::device_dump();
    EXPECT_EQ(dump_line("d0.5"), "d0.5 up master br0 vlan 5 over d0");
    EXPECT_EQ(dump_line("d0.6"), "d0.6 up master br0 vlan 6 over d0");
    EXPECT_EQ(dump_line("d1"), "d1 up master br0");
    EXPECT_EQ(dump_line("d1.100"), "d1.100 up master br1 vlan 100 over d1");
    EXPECT_EQ(dump_line("br1"), "br1 up delay 0");

    ASSERT_EQ(kxnet_destroy_devices(), KXNET_OK);
    for (const char *device : {"br0", "br1", "d0.5", "d0.6", "d1.100"})
        EXPECT_FALSE(ns::device_exists(device)) << device;

    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(ns::device_dump(), started);
    EXPECT_EQ(ns::files_under("/etc"), files);
}

} // namespace
