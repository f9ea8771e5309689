// The rtnetlink channel against the kernel: a real dump and real address
// requests with their acknowledgement and error answer.
#include "rtnl/rtnl.h"

#include "ns_env.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <net/if.h>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

int count_links(const sockaddr_nl *, nlmsghdr *message, void *arg) {
    if (message->nlmsg_type == RTM_NEWLINK) ++*static_cast<int *>(arg);
    return 0;
}

int add_address(kx::rtchan &channel, const char *device, const char *address) {
    alignas(nlmsghdr) unsigned char buffer[280] = {};
    auto *request = reinterpret_cast<nlmsghdr *>(buffer);
    request->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    request->nlmsg_type = RTM_NEWADDR;
    request->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL;
    auto *ifa = static_cast<ifaddrmsg *>(NLMSG_DATA(request));
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = 24;
    ifa->ifa_index = if_nametoindex(device);
    in_addr value{};
    inet_pton(AF_INET, address, &value);
    EXPECT_EQ(kx::addattr_l(request, sizeof buffer, IFA_LOCAL, &value, 4), 0);
    EXPECT_EQ(kx::addattr_l(request, sizeof buffer, IFA_ADDRESS, &value, 4), 0);
    return kx::rtchan_transact(channel, request, 0, 0, nullptr, nullptr, nullptr);
}

TEST_F(NsTest, RtchanDumpAndTransact) {
    kxtest::ns::add_veth("r0", "r1");
    kx::rtchan channel;
    ASSERT_EQ(kx::rtchan_open(channel, 0), 0);
    kx::rtchan_scope close_channel(channel);
    EXPECT_EQ(fcntl(channel.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_NE(channel.local.nl_pid, 0U);

    int links = 0;
    ASSERT_EQ(kx::rtchan_dump_request(channel, AF_UNSPEC, RTM_GETLINK), 0);
    EXPECT_EQ(channel.dump, channel.seq);
    EXPECT_EQ(kx::rtchan_dump_receive(channel, count_links, &links, nullptr, nullptr), 0);
    EXPECT_EQ(links, 3); // lo, r0, r1

    // With an extension mask the kernel lists the same links, on a channel
    // with strict checking too.
    for (bool strict : {false, true}) {
        if (strict) {
            ASSERT_TRUE(kx::rtchan_strict_check(channel));
        }
        links = 0;
        ASSERT_EQ(kx::rtchan_link_dump_request(channel, RTEXT_FILTER_SKIP_STATS), 0);
        EXPECT_EQ(channel.dump, channel.seq);
        EXPECT_EQ(kx::rtchan_dump_receive(channel, count_links, &links, nullptr, nullptr), 0);
        EXPECT_EQ(links, 3) << strict;
    }

    const uint32_t dump = channel.dump;
    EXPECT_EQ(add_address(channel, "r0", "10.0.0.9"), 0);
    EXPECT_EQ(channel.dump, dump);
    EXPECT_NE(kxtest::ns::capture("ip -4 -o addr show dev r0").find("10.0.0.9/24"),
              std::string::npos);

    CaptureStderr();
    EXPECT_EQ(add_address(channel, "r0", "10.0.0.9"), -EEXIST);
    EXPECT_EQ(GetCapturedStderr(), "RTNETLINK answers: " + std::string(strerror(EEXIST)) + "\n");
}

} // namespace
