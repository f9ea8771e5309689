// Host address assignment on the real kernel: addresses added to a veth and
// read back from a dump, the ifcfg file rewritten (and read back by bash),
// the registry record, the DHCP restart through recording stand-ins for
// ifdown and ifup, and refused input that must leave the device, the file,
// the registry and the shell untouched.
#include "frame/state.h"
#include "kxnet_ct.h"
#include "ns_env.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using kxtest::file_exists;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

const std::string redhat_dir = "/etc/sysconfig/network-scripts";
const std::string suse_dir = "/etc/sysconfig/network";
const std::string registry_seed = "VNID_br0=\"web\"\nADDR_other=\"192.0.2.1/24\"\n";

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class AddrSetTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        kx::state().suse_flag = 0;
        kxtest::make_dirs(ns::at(redhat_dir));
        kxtest::make_dirs(ns::at(suse_dir));
        write_file(ns::at("/etc/kx/kxnet.conf"), registry_seed);
        ns::add_veth("vaddr", "vpeer");
        ns::set_up("vaddr");
        kxtest::clear_log();
        old_path_ = getenv("PATH");
    }
    void TearDown() override {
        if (!old_path_.empty()) setenv("PATH", old_path_.c_str(), 1);
        kx::state().suse_flag = 0;
    }

    // The device's IPv4 addresses as an address dump lists them.
    static std::string addresses(const std::string &device) {
        return ns::capture("ip -4 -o addr show dev " + device + " | awk '{print $4}' | tr '\\n' ' '");
    }
    static std::string registry() { return read_file(ns::at("/etc/kx/kxnet.conf")); }
    static std::string ifcfg(const std::string &dir, const std::string &device) {
        return ns::at(dir + "/ifcfg-" + device);
    }
    // The variables a start-up script would see after sourcing the file (a
    // "BOOTPROTO =" line is a command to the shell; its complaint is muted).
    static std::string sourced(const std::string &path) {
        return ns::capture("bash -c '. \"" + path + "\" && echo \"$BOOTPROTO|$IPADDR|$NETMASK|$PREFIXLEN\"' 2>/dev/null");
    }

    // Stand-ins for ifdown and ifup in the sandbox's sbin folder, first on
    // the shell's fixed search path, that record their calls; ifup exits
    // with `ifup_status`.
    std::string install_restart_standins(int ifup_status) {
        const std::string bin = ns::at("/usr/sbin");
        const std::string record = ns::at("/restart.record");
        write_file(bin + "/ifdown", "#!/bin/sh\necho \"ifdown $*\" >> " + record + "\n", 0755);
        write_file(bin + "/ifup",
                   "#!/bin/sh\necho \"ifup $*\" >> " + record + "\nexit " + std::to_string(ifup_status) + "\n",
                   0755);
        return record;
    }

    std::string old_path_;
};

TEST_F(AddrSetTest, StaticAddressReachesDeviceFileAndRegistry) {
    const std::string file = ifcfg(redhat_dir, "vaddr");
    write_file(file, "# eth by hand\n"
                     "\n"
                     "DEVICE=vaddr\n"
                     "BOOTPROTO='none'\n"
                     "IPADDR='1.1.1.1'\n"
                     "NETMASK=255.0.0.0\n"
                     "PREFIXLEN=8\n"
                     "IPADDR_1=192.168.9.9\n"
                     "BOOTPROTO =none\n"
                     "ONBOOT=yes\n");

    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "10.1.2.3/24"), KXNET_OK);
    EXPECT_EQ(addresses("vaddr"), "10.1.2.3/24 ");
    EXPECT_EQ(read_file(file), "# eth by hand\n"
                               "\n"
                               "DEVICE=vaddr\n"
                               "BOOTPROTO='static'\n"
                               "IPADDR='10.1.2.3'\n"
                               "NETMASK=255.255.255.0\n"
                               "IPADDR_1=192.168.9.9\n"
                               "BOOTPROTO =none\n"
                               "ONBOOT=yes\n");
    EXPECT_EQ(sourced(file), "static|10.1.2.3|255.255.255.0|");
    EXPECT_EQ(registry(), registry_seed + "ADDR_vaddr=\"10.1.2.3/24\"\n");
    EXPECT_EQ(kxtest::list_dir(ns::at(redhat_dir)), std::vector<std::string>{"ifcfg-vaddr"});
    // The entry writes no line of its own: the last is the release.
    const auto messages = kxtest::log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "libkxnet: release_kxnetlock done");
    for (const auto &m : messages) EXPECT_FALSE(contains(m, "vaddr")) << m;

    // The prefix as the device and the file each take it; the registry
    // keeps every text in order, the device every address.
    const struct {
        const char *text, *on_device, *netmask;
    } variants[] = {
        {"10.1.3.1", "10.1.3.1/32", "255.255.255.255"},
        {"10.1.3.2/40", "10.1.3.2/32", "255.255.255.255"},
        {"10.1.3.3/0", "10.1.3.3/0", "255.255.255.255"},
        {"10.1.3.4/25", "10.1.3.4/25", "255.255.255.128"},
    };
    std::string expected_registry = registry_seed + "ADDR_vaddr=\"10.1.2.3/24";
    for (const auto &v : variants) {
        SCOPED_TRACE(v.text);
        ASSERT_EQ(compat_kxnet_addr_set("vaddr", v.text), KXNET_OK);
        EXPECT_TRUE(contains(addresses("vaddr"), std::string(v.on_device) + " "));
        EXPECT_EQ(sourced(file), std::string("static|") + std::string(v.text).substr(0, std::string(v.text).find('/')) + "|" + v.netmask + "|");
        expected_registry += std::string(" ") + v.text;
    }
    EXPECT_EQ(registry(), expected_registry + "\"\n");
    EXPECT_EQ(addresses("vaddr"), "10.1.2.3/24 10.1.3.1/32 10.1.3.2/32 10.1.3.3/0 10.1.3.4/25 ");
}

TEST_F(AddrSetTest, MissingKeysAreAppendedQuotedOnlyInTheSuseLayout) {
    write_file(ifcfg(redhat_dir, "vaddr"), "DEVICE=vaddr\nONBOOT=yes");
    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "10.2.0.1/16"), KXNET_OK);
    EXPECT_EQ(read_file(ifcfg(redhat_dir, "vaddr")),
              "DEVICE=vaddr\nONBOOT=yes\nBOOTPROTO=static\nIPADDR=10.2.0.1\nNETMASK=255.255.0.0\n");
    EXPECT_EQ(sourced(ifcfg(redhat_dir, "vaddr")), "static|10.2.0.1|255.255.0.0|");

    kx::state().suse_flag = 1;
    write_file(ifcfg(suse_dir, "vaddr"), "STARTMODE='auto'\n");
    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "10.2.0.2/16"), KXNET_OK);
    EXPECT_EQ(read_file(ifcfg(suse_dir, "vaddr")),
              "STARTMODE='auto'\nBOOTPROTO='static'\nIPADDR='10.2.0.2'\nNETMASK='255.255.0.0'\n");
    EXPECT_EQ(sourced(ifcfg(suse_dir, "vaddr")), "static|10.2.0.2|255.255.0.0|");
    // The network-scripts file is not the SuSE layout's to touch.
    EXPECT_TRUE(contains(read_file(ifcfg(redhat_dir, "vaddr")), "IPADDR=10.2.0.1\n"));

    // A device without a file still gets its address and its record.
    kx::state().suse_flag = 0;
    ASSERT_EQ(compat_kxnet_addr_set("vpeer", "10.2.0.3"), KXNET_OK);
    EXPECT_EQ(addresses("vpeer"), "10.2.0.3/32 ");
    EXPECT_FALSE(file_exists(ifcfg(redhat_dir, "vpeer")));
    EXPECT_TRUE(contains(registry(), "ADDR_vpeer=\"10.2.0.3\"\n"));
}

// A file a start-up script reads as shell: the rewrite must not touch a key
// inside another value, nor lose what shares a line with an address value.
TEST_F(AddrSetTest, FileKeepsEveryOtherVariableAsTheShellSeesIt) {
    const std::string file = ifcfg(redhat_dir, "vaddr");
    write_file(file, "DEVICE=vaddr\n"
                     "NAME=\"uplink\nIPADDR=9.9.9.9\"\n"
                     "IPADDR=1.1.1.1; MTU=9000\n"
                     "NETMASK=255.0.0.0 # it's old\n");
    const auto others = [&] {
        return ns::capture("bash -c '. \"" + file + "\" && echo \"$NAME|$MTU|$IPADDR|$NETMASK\"' 2>/dev/null");
    };
    ASSERT_EQ(others(), "uplink\nIPADDR=9.9.9.9|9000|1.1.1.1|255.0.0.0");

    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "10.1.2.3/24"), KXNET_OK);
    EXPECT_EQ(read_file(file), "DEVICE=vaddr\n"
                               "NAME=\"uplink\nIPADDR=9.9.9.9\"\n"
                               "IPADDR=10.1.2.3; MTU=9000\n"
                               "NETMASK=255.255.255.0\n"
                               "BOOTPROTO=static\n");
    EXPECT_EQ(others(), "uplink\nIPADDR=9.9.9.9|9000|10.1.2.3|255.255.255.0");
}

TEST_F(AddrSetTest, RefusedByTheKernelOrUnknownDeviceChangesNothing) {
    const std::string file = ifcfg(redhat_dir, "vaddr");
    write_file(file, "IPADDR=1.1.1.1\n");
    ASSERT_EQ(ns::sh("ip addr add 10.3.0.1/24 dev vaddr"), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(compat_kxnet_addr_set("vaddr", "10.3.0.1/24"), KXNET_ERR_SYSTEM);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(printed, "RTNETLINK answers")) << printed;
    EXPECT_EQ(read_file(file), "IPADDR=1.1.1.1\n");
    EXPECT_EQ(registry(), registry_seed);

    EXPECT_EQ(compat_kxnet_addr_set("nosuchdev", "10.3.0.2/24"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(compat_kxnet_addr_set_SL("nosuchdev", "10.3.0.2/24"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(registry(), registry_seed);
    EXPECT_EQ(kxtest::list_dir(ns::at(redhat_dir)), std::vector<std::string>{"ifcfg-vaddr"});
}

TEST_F(AddrSetTest, DhcpRewritesTheFileAndRestartsTheInterface) {
    const std::string record = install_restart_standins(0);
    const std::string file = ifcfg(redhat_dir, "vaddr");
    write_file(file, "DEVICE=vaddr\nBOOTPROTO='static'\nIPADDR='1.1.1.1'\nNETMASK=255.0.0.0\nPREFIXLEN=8\n");

    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "dhcp"), KXNET_OK);
    EXPECT_EQ(read_file(file), "DEVICE=vaddr\nBOOTPROTO='dhcp'\n");
    EXPECT_EQ(sourced(file), "dhcp|||");
    EXPECT_EQ(read_file(record), "ifdown vaddr\nifup vaddr\n");
    EXPECT_EQ(registry(), registry_seed + "ADDR_vaddr=\"dhcp\"\n");

    // Listed once, however often it is asked for.
    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "dhcp"), KXNET_OK);
    EXPECT_EQ(registry(), registry_seed + "ADDR_vaddr=\"dhcp\"\n");
}

TEST_F(AddrSetTest, FailingIfupLeavesTheRegistryUnchanged) {
    const std::string record = install_restart_standins(1);
    ASSERT_EQ(compat_kxnet_addr_set("vaddr", "dhcp"), KXNET_ERR_SYSTEM);
    EXPECT_EQ(read_file(record), "ifdown vaddr\nifup vaddr\n");
    EXPECT_EQ(registry(), registry_seed);
}

TEST_F(AddrSetTest, RefusedInputRunsNothingAndChangesNothing) {
    const std::string record = install_restart_standins(0);
    const std::string file = ifcfg(redhat_dir, "vaddr");
    write_file(file, "BOOTPROTO=static\nIPADDR=1.1.1.1\n");
    const std::string marker = ns::at("/injected");
    // A device one character short of a refused 16-character name.
    ns::add_veth("abcdefghijklmno", "abcpeer");

    const std::vector<std::string> names = {
        "vaddr;touch " + marker, "$(touch " + marker + ")", "`touch " + marker + "`", "vaddr/x", "vaddr\n",
        "va\"ddr", "va'ddr", "", "abcdefghijklmnoX", std::string(300, 'a'),
    };
    for (const auto &name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(compat_kxnet_addr_set(name.c_str(), "dhcp"), KXNET_ERR_INVALID);
        EXPECT_EQ(compat_kxnet_addr_set(name.c_str(), "10.4.0.1/24"), KXNET_ERR_INVALID);
    }
    EXPECT_EQ(compat_kxnet_addr_set(nullptr, "dhcp"), KXNET_ERR_INVALID);
    EXPECT_EQ(compat_kxnet_addr_set("vaddr", nullptr), KXNET_ERR_INVALID);

    const std::vector<std::string> texts = {"10.1.2",    "256.1.1.1", "10.1.2.3.4/24", " 10.1.2.3",
                                            "dhcpx",     "",          std::string(300, '7'),
                                            "10.1.2.3/", "10.1.2.3/24 10.9.9.9", "10.1.2.3/2\"4"};
    for (const auto &text : texts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(compat_kxnet_addr_set("vaddr", text.c_str()), KXNET_ERR_INVALID);
        EXPECT_EQ(compat_kxnet_addr_set_SL("vaddr", text.c_str()), KXNET_ERR_INVALID);
    }

    EXPECT_FALSE(file_exists(marker));
    EXPECT_FALSE(file_exists(record));
    EXPECT_EQ(read_file(file), "BOOTPROTO=static\nIPADDR=1.1.1.1\n");
    EXPECT_EQ(kxtest::list_dir(ns::at(redhat_dir)), std::vector<std::string>{"ifcfg-vaddr"});
    EXPECT_EQ(registry(), registry_seed);
    EXPECT_EQ(addresses("vaddr"), "");
    EXPECT_EQ(addresses("abcdefghijklmno"), "");

    // The longest name the kernel takes whole is accepted.
    EXPECT_EQ(compat_kxnet_addr_set("abcdefghijklmno", "10.4.0.9/24"), KXNET_OK);
    EXPECT_EQ(addresses("abcdefghijklmno"), "10.4.0.9/24 ");
}

} // namespace
