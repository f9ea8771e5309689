// The link description pieces on crafted input: address and hardware
// address texts, and reading back the container's four-line groups.
#include "netinfo/link_dump.h"

#include "rtnl/rtnl.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

// An RTM_NEWADDR message with IFA_LOCAL and/or IFA_ADDRESS attributes.
struct addr_message {
    alignas(nlmsghdr) unsigned char bytes[256] = {};
    nlmsghdr *header() { return reinterpret_cast<nlmsghdr *>(bytes); }

    addr_message(int family, int prefix) {
        header()->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
        header()->nlmsg_type = RTM_NEWADDR;
        auto *ifa = static_cast<ifaddrmsg *>(NLMSG_DATA(header()));
        ifa->ifa_family = static_cast<unsigned char>(family);
        ifa->ifa_prefixlen = static_cast<unsigned char>(prefix);
    }
    addr_message &add(int type, const char *text, int length = -1) {
        unsigned char value[16] = {};
        const int family = static_cast<ifaddrmsg *>(NLMSG_DATA(header()))->ifa_family;
        inet_pton(family, text, value);
        if (length < 0) length = family == AF_INET6 ? 16 : 4;
        kx::addattr_l(header(), sizeof bytes, type, value, length);
        return *this;
    }
    std::string text() {
        std::string out;
        kx::format_addr_msg(header(), nullptr, &out);
        return out;
    }
};

TEST(LinkAddrText, PrefixUnlessPointToPoint) {
    kxtest::scratch_root root;
    EXPECT_EQ(addr_message(AF_INET, 24).add(IFA_ADDRESS, "10.0.0.5").text(), "10.0.0.5/24");
    EXPECT_EQ(
        addr_message(AF_INET, 32).add(IFA_LOCAL, "10.0.0.1").add(IFA_ADDRESS, "10.0.0.2").text(),
        "10.0.0.1");
    EXPECT_EQ(addr_message(AF_INET6, 64).add(IFA_ADDRESS, "fe80::1").text(), "fe80::1/64");
    EXPECT_EQ(addr_message(AF_INET, 24).text(), "");
    // A payload too short for its family is not read past its end.
    EXPECT_EQ(addr_message(AF_INET6, 64).add(IFA_ADDRESS, "fe80::1", 4).text(), "");

    // The text never passes 1023 characters.
    std::string text(1020, 'x');
    kx::format_addr_msg(addr_message(AF_INET, 24).add(IFA_ADDRESS, "10.0.0.5").header(), nullptr,
                        &text);
    EXPECT_EQ(text, std::string(1020, 'x') + "10.");
}

// The address text is what inet_ntop writes, for octets and prefix lengths
// of one, two and three digits.
TEST(LinkAddrText, Ipv4AsInetNtopWritesIt) {
    kxtest::scratch_root root;
    const struct {
        const char *address;
        int prefix;
    } cases[] = {{"0.0.0.0", 0}, {"1.2.3.4", 8}, {"10.99.100.255", 32}, {"255.255.255.255", 255},
                 {"192.168.0.9", 99}, {"100.10.1.0", 100}};
    for (const auto &c : cases) {
        unsigned char bytes[4];
        ASSERT_EQ(inet_pton(AF_INET, c.address, bytes), 1);
        char expected[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, bytes, expected, sizeof expected), nullptr);
        EXPECT_EQ(addr_message(AF_INET, c.prefix).add(IFA_ADDRESS, c.address).text(),
                  std::string(expected) + "/" + std::to_string(c.prefix))
            << c.address;
    }
}

TEST(LinkHwaddrText, SixBytesAndCut) {
    const unsigned char ether[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    EXPECT_EQ(kx::hwaddr_text(ether, 6), "00:1a:2b:3c:4d:5e");
    const unsigned char longer[8] = {0xAB, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(kx::hwaddr_text(longer, 8), "ab:01:02:03:04:05:0");
    EXPECT_EQ(kx::hwaddr_text(longer, 0), "");
}

FILE *stream_of(const std::string &content) {
    FILE *f = tmpfile();
    fputs(content.c_str(), f);
    rewind(f);
    return f;
}

TEST(LinkLines, GroupsReadBackAndPartialGroupDropped) {
    FILE *in = stream_of("eth0\n10.1.1.2/24\n02:00:00:00:00:01\n4099\ntun0\n\n\n4240\nlost\n\n");
    kx::link_lines link;
    ASSERT_TRUE(kx::read_link_lines(in, link));
    EXPECT_EQ(link.name, "eth0");
    EXPECT_EQ(link.addrs, "10.1.1.2/24");
    EXPECT_EQ(link.hwaddr, "02:00:00:00:00:01");
    EXPECT_EQ(link.flags, 4099U);
    ASSERT_TRUE(kx::read_link_lines(in, link));
    EXPECT_EQ(link.name, "tun0");
    EXPECT_EQ(link.addrs, "");
    EXPECT_EQ(link.hwaddr, "");
    EXPECT_FALSE(kx::read_link_lines(in, link));
    fclose(in);
}

TEST(LinkLines, OverlongLineIsCutAndGroupsStayInStep) {
    const std::string addrs(1500, '1');
    FILE *in = stream_of("eth0\n" + addrs + "\naa:bb\n1\neth1\n\n\n0\n");
    kx::link_lines link;
    ASSERT_TRUE(kx::read_link_lines(in, link));
    EXPECT_EQ(link.addrs, std::string(1023, '1'));
    EXPECT_EQ(link.hwaddr, "aa:bb");
    EXPECT_EQ(link.flags, 1U);
    ASSERT_TRUE(kx::read_link_lines(in, link));
    EXPECT_EQ(link.name, "eth1");
    fclose(in);
}

} // namespace
