// Host address assignment without a kernel: what the device, the file and
// the registry take from an address text, the ifcfg rewrite in both layouts,
// the bytes of the RTM_NEWADDR request, and the one-pass file replacement.
#include "frame/state.h"
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"
#include "rtnl/rtnl.h"
#include "shell_oracle.h"
#include "test_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using kx::ifcfg_rewrite_address;

TEST(AddressText, PrefixForTheDeviceAndNetmaskForTheFile) {
    const struct {
        const char *text;
        int device_prefix;
        const char *netmask;
    } cases[] = {
        {"10.1.2.3/24", 24, "255.255.255.0"},  {"10.1.2.3", 32, "255.255.255.255"},
        {"10.1.2.3/40", 32, "255.255.255.255"}, {"10.1.2.3/0", 0, "255.255.255.255"},
        {"10.1.2.3/25", 25, "255.255.255.128"}, {"10.1.2.3/1", 1, "128.0.0.0"},
        {"10.1.2.3/32", 32, "255.255.255.255"}, {"10.1.2.3/08", 8, "255.0.0.0"},
        {"10.1.2.3/99999999999999999999", 32, "255.255.255.255"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kx::device_prefix_length(c.text), c.device_prefix);
        EXPECT_EQ(kx::file_netmask(c.text), c.netmask);
    }
    EXPECT_EQ(kx::address_part("10.1.2.3/24/7"), "10.1.2.3");
}

TEST(AddressText, OnlyDhcpOrADottedAddressWithDigitPrefixIsAccepted) {
    for (const char *good : {"dhcp", "10.1.2.3", "10.1.2.3/24", "255.255.255.255/032", "0.0.0.0/0"})
        EXPECT_TRUE(kx::address_text_acceptable(good)) << good;
    const std::string long_text(300, '1');
    for (const std::string &bad : std::vector<std::string>{"10.1.2", "256.1.1.1", "10.1.2.3.4/24", " 10.1.2.3", "10.1.2.3 ", "dhcpx", "DHCP", "", long_text,
          "10.1.2.3/", "10.1.2.3/2a", "10.1.2.3/-1", "10.1.2.3/24 10.9.9.9", "10.1.2.3/\"24",
          "255.255.255.255/0032", "10.1.2.3/24\n", "010.1.2.3"})
        EXPECT_FALSE(kx::address_text_acceptable(bad)) << bad;
}

const std::string sample = "# managed by hand\n"
                           "\n"
                           "DEVICE=eth0\n"
                           "BOOTPROTO='static'\n"
                           "IPADDR='1.1.1.1'\n"
                           "NETMASK=255.0.0.0\n"
                           "PREFIXLEN=8\n"
                           "IPADDR_1=192.168.9.9\n"
                           "BOOTPROTO =none\n"
                           "   \t\n"
                           "ONBOOT=yes\n";

TEST(IfcfgRewrite, StaticAddressReplacesValuesKeepingQuotesAndOtherLines) {
    EXPECT_EQ(ifcfg_rewrite_address(sample, "10.1.2.3/24", false),
              "# managed by hand\n"
              "\n"
              "DEVICE=eth0\n"
              "BOOTPROTO='static'\n"
              "IPADDR='10.1.2.3'\n"
              "NETMASK=255.255.255.0\n"
              "IPADDR_1=192.168.9.9\n"
              "BOOTPROTO =none\n"
              "   \t\n"
              "ONBOOT=yes\n");
    // Leading blanks, a double quote and what follows the value.
    EXPECT_EQ(ifcfg_rewrite_address("  IPADDR=\"1.1.1.1\" # old\n\tNETMASK=\nBOOTPROTO=dhcp\n", "10.1.2.3", true),
              "  IPADDR=\"10.1.2.3\"\n\tNETMASK=255.255.255.255\nBOOTPROTO=static\n");
}

TEST(IfcfgRewrite, DhcpDropsTheAddressLinesAndAppendsNothingElse) {
    EXPECT_EQ(ifcfg_rewrite_address(sample, "dhcp", true),
              "# managed by hand\n"
              "\n"
              "DEVICE=eth0\n"
              "BOOTPROTO='dhcp'\n"
              "IPADDR_1=192.168.9.9\n"
              "BOOTPROTO =none\n"
              "   \t\n"
              "ONBOOT=yes\n");
    EXPECT_EQ(ifcfg_rewrite_address("DEVICE=eth0\n", "dhcp", false), "DEVICE=eth0\nBOOTPROTO=dhcp\n");
    EXPECT_EQ(ifcfg_rewrite_address("DEVICE=eth0\n", "dhcp", true), "DEVICE=eth0\nBOOTPROTO='dhcp'\n");
}

TEST(IfcfgRewrite, MissingKeysAreAppendedInTheLayoutsQuoting) {
    EXPECT_EQ(ifcfg_rewrite_address("DEVICE=eth0\n", "10.1.2.3/25", false),
              "DEVICE=eth0\nBOOTPROTO=static\nIPADDR=10.1.2.3\nNETMASK=255.255.255.128\n");
    EXPECT_EQ(ifcfg_rewrite_address("STARTMODE='auto'\n", "10.1.2.3/25", true),
              "STARTMODE='auto'\nBOOTPROTO='static'\nIPADDR='10.1.2.3'\nNETMASK='255.255.255.128'\n");
    EXPECT_EQ(ifcfg_rewrite_address("", "10.1.2.3", false),
              "BOOTPROTO=static\nIPADDR=10.1.2.3\nNETMASK=255.255.255.255\n");
    // Only the keys not seen are appended.
    EXPECT_EQ(ifcfg_rewrite_address("NETMASK=1.2.3.4\n", "10.1.2.3/16", false),
              "NETMASK=255.255.0.0\nBOOTPROTO=static\nIPADDR=10.1.2.3\n");
}

TEST(IfcfgRewrite, LastLineWithoutNewlineIsNotJoinedToAppendedLines) {
    EXPECT_EQ(ifcfg_rewrite_address("DEVICE=eth0", "10.1.2.3/24", false),
              "DEVICE=eth0\nBOOTPROTO=static\nIPADDR=10.1.2.3\nNETMASK=255.255.255.0\n");
    // Embedded NUL bytes and long lines pass through whole.
    const std::string odd = std::string("X=a\0b\n", 6) + "#" + std::string(1000, 'c') + "IPADDR=9.9.9.9\n";
    EXPECT_EQ(ifcfg_rewrite_address(odd + "BOOTPROTO=static\nIPADDR=1.1.1.1\nNETMASK=1\n", "10.1.2.3", false),
              odd + "BOOTPROTO=static\nIPADDR=10.1.2.3\nNETMASK=255.255.255.255\n");
}

// Files whose other variables a line-by-line rewrite would change: address
// keys inside another value, values running over lines, assignments after
// the address value on its line, and address lines the shell needs as the
// command of a block or after an operator.  bash sources the old and the new
// text and must see the same other variables.
TEST(IfcfgRewrite, OtherVariablesMeanWhatTheyMeantToTheShell) {
    const std::vector<std::string> files = {
        "A=\"one\nIPADDR=5.5.5.5\nNETMASK=1\"\nB=2\n",
        "A='x\nBOOTPROTO=none\nPREFIXLEN=3'\n",
        "A=x\\\nNETMASK=y\nB=2\n",
        "IPADDR=1.2.3.4; MTU=9000\nNETMASK=255.0.0.0 B=2 ; C=3\n",
        "PREFIXLEN=24 && B=2\nIPADDR=1 MTU=1500\n",
        "IPADDR=\"1.2.3.4\nC=3\"\nB=2\n",
        "# it's a comment\nIPADDR=1.1.1.1 # don't\nA=\"q\"\n",
        "NETMASK=(255 0\nA=1)\nB=$'it\\'s'\nIPADDR=`x\nC=4`\n",
        "A=x\\\n",
        "BOOTPROTO=\"dhcp\" MTU=1\nA=1\n",
        "NETMASK=(# it's\nA=1)=B=$'x\\''\nC=3\n",
        "PREFIXLEN=8 \tMTU=1500\n",
        "A=1 &&\nPREFIXLEN=24\n",
        "if A=1; then\nIPADDR=1.1.1.1\nfi\nB=2\n",
        "{ # block\n  PREFIXLEN=8\n}\nC=3 |\nNETMASK=1\n",
        "NETMASK=(1 \nA=)#1B=$'x\nA==1'\nC=1\n",
        "\rPREFIXLEN=1\t C=x; A=1\n",
        // A dropped word's stand-in keeps the exit status the shell saw.
        "PREFIXLEN=1 x || C=x\nIPADDR=1 then || B=2\n",
        "\r\rPREFIXLEN=if|| C=x1; A=1\n",
        "if A=1\n\fNETMASK=1\nthen B=2\nfi\n",
    };
    const std::vector<std::string> others = {"A", "B", "C", "MTU"};
    kxtest::scratch_root root;
    kxtest::make_dirs(root.at("/empty"));
    const std::string file = root.at("/ifcfg-x");
    for (const std::string &text : files) {
        kxtest::write_file(file, text);
        const std::string before = kxtest::shell_variables(file, root.at("/empty"), others);
        ASSERT_NE(before.substr(0, 1), "!") << before;
        for (const char *address : {"10.1.2.3/24", "dhcp"}) {
            const std::string rewritten = ifcfg_rewrite_address(text, address, false);
            kxtest::write_file(file, rewritten);
            EXPECT_EQ(kxtest::shell_variables(file, root.at("/empty"), others), before)
                << "old:\n" << text << "new:\n" << rewritten;
            EXPECT_EQ(ifcfg_rewrite_address(rewritten, address, false), rewritten) << "a second rewrite changes it";
        }
    }
    // What a replaced value carries on keeps its place; a dropped one leaves
    // it as a command of its own.
    EXPECT_EQ(ifcfg_rewrite_address("IPADDR=1.2.3.4; MTU=9000\nPREFIXLEN=24 && B=2\n", "10.1.2.3/24", false),
              "IPADDR=10.1.2.3; MTU=9000\n: && B=2\nBOOTPROTO=static\nNETMASK=255.255.255.0\n");
    EXPECT_EQ(ifcfg_rewrite_address("IPADDR=1.2.3.4 MTU=9000\n", "dhcp", false), " MTU=9000\nBOOTPROTO=dhcp\n");
    EXPECT_EQ(ifcfg_rewrite_address("if A=1; then\nIPADDR=1.1.1.1\nfi\n", "dhcp", false),
              "if A=1; then\n:\nfi\nBOOTPROTO=dhcp\n");
}

TEST(NewaddrRequest, IsFortyBytesLaidOutForTheKernel) {
    kx::newaddr_request request;
    in_addr address{};
    ASSERT_EQ(inet_pton(AF_INET, "10.1.2.3", &address), 1);
    ASSERT_EQ(kx::newaddr_request_build(request, 7, address, 24), 0);
    auto u16 = [&](int at) {
        uint16_t v;
        std::memcpy(&v, request.bytes + at, 2);
        return v;
    };
    auto u32 = [&](int at) {
        uint32_t v;
        std::memcpy(&v, request.bytes + at, 4);
        return v;
    };
    EXPECT_EQ(u32(0), 40U);
    EXPECT_EQ(u16(4), 20); // RTM_NEWADDR
    EXPECT_EQ(u16(6), 0x1); // the exchange adds NLM_F_ACK; no create, excl or replace
    EXPECT_EQ(u32(12), 0U);
    EXPECT_EQ(request.bytes[16], AF_INET);
    EXPECT_EQ(request.bytes[17], 24);
    EXPECT_EQ(request.bytes[18], 0);
    EXPECT_EQ(request.bytes[19], 0);
    EXPECT_EQ(u32(20), 7U);
    EXPECT_EQ(u16(24), 8);
    EXPECT_EQ(u16(26), 2); // IFA_LOCAL
    EXPECT_EQ(u16(32), 8);
    EXPECT_EQ(u16(34), 1); // IFA_ADDRESS
    const unsigned char dotted[] = {10, 1, 2, 3};
    EXPECT_EQ(std::memcmp(request.bytes + 28, dotted, 4), 0);
    EXPECT_EQ(std::memcmp(request.bytes + 36, dotted, 4), 0);
    for (int i = 40; i < kx::newaddr_request_bound; ++i) ASSERT_EQ(request.bytes[i], 0) << i;
}

class IfcfgSetAddress : public ::testing::Test {
protected:
    void SetUp() override {
        kxtest::make_dirs(root.at(redhat));
        kxtest::make_dirs(root.at(suse));
        kx::state().suse_flag = 0;
    }
    void TearDown() override { kx::state().suse_flag = 0; }
    const std::string redhat = "/etc/sysconfig/network-scripts";
    const std::string suse = "/etc/sysconfig/network";
    kxtest::scratch_root root;
};

TEST_F(IfcfgSetAddress, RewritesTheLayoutsOwnFileOnlyWithMode0600) {
    const std::string redhat_file = root.at(redhat + "/ifcfg-eth0");
    const std::string suse_file = root.at(suse + "/ifcfg-eth0");
    kxtest::write_file(redhat_file, "DEVICE=eth0\nIPADDR=1.1.1.1\n", 0644);
    kxtest::write_file(suse_file, "IPADDR='1.1.1.1'\n", 0644);

    kx::state().suse_flag = 1;
    ASSERT_EQ(kx::ifcfg_set_address("eth0", "10.1.2.3/24"), 0);
    EXPECT_EQ(kxtest::read_file(suse_file), "IPADDR='10.1.2.3'\nBOOTPROTO='static'\nNETMASK='255.255.255.0'\n");
    EXPECT_EQ(kxtest::read_file(redhat_file), "DEVICE=eth0\nIPADDR=1.1.1.1\n");
    struct stat info {};
    ASSERT_EQ(stat(suse_file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600U);
    EXPECT_EQ(kxtest::list_dir(root.at(suse)), std::vector<std::string>{"ifcfg-eth0"});

    // A device without a file: nothing is created.
    EXPECT_EQ(kx::ifcfg_set_address("eth1", "10.1.2.3/24"), -ENOENT);
    EXPECT_EQ(kxtest::list_dir(root.at(suse)), std::vector<std::string>{"ifcfg-eth0"});
    EXPECT_EQ(kx::ifcfg_set_address(nullptr, "dhcp"), -EINVAL);
    EXPECT_EQ(kx::ifcfg_set_address("eth0", nullptr), -EINVAL);
    EXPECT_EQ(kx::ifcfg_set_address("../network/ifcfg-eth0", "dhcp"), -EINVAL);
}

TEST_F(IfcfgSetAddress, WhatIsNoRegularFileIsLeftAlone) {
    // A directory or a FIFO in the file's place: refused at once, never
    // waited on, nothing written beside it.
    kxtest::make_dirs(root.at(redhat + "/ifcfg-eth0"));
    ASSERT_EQ(mkfifo(root.at(redhat + "/ifcfg-eth1").c_str(), 0600), 0);
    EXPECT_EQ(kx::ifcfg_set_address("eth0", "10.1.2.3"), -EINVAL);
    EXPECT_EQ(kx::ifcfg_set_address("eth1", "dhcp"), -EINVAL);
    auto names = kxtest::list_dir(root.at(redhat));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ifcfg-eth0", "ifcfg-eth1"}));
}

} // namespace
