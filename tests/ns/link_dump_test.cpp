// The link and address dump against the kernel of a fresh namespace: the
// host reports it makes (captured through a test sink, and into the store) and the four-line
// format it writes for the container collector.
#include "netinfo/link_dump.h"

#include "netinfo/store.h"

#include "ns_env.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

namespace {

using kxtest::ns::sh;

// One link as the dump reported it to the sink.
struct reported {
    std::string name;
    std::string addrs;
    std::string hwaddr;
    uint32_t flags;
};

std::vector<reported> updates;

void capture(const kx::link_view &link) {
    updates.push_back({link.name, std::string(link.addrs), std::string(link.hwaddr), link.flags});
}

const kx::link_report_sink capture_sink{capture};

const reported *report_of(const std::string &name) {
    for (const reported &r : updates)
        if (r.name == name) return &r;
    return nullptr;
}

std::string addrs_of(const std::string &name) {
    const reported *r = report_of(name);
    return r == nullptr ? "<none>" : r->addrs;
}

class LinkDump : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        updates.clear();
        kx::store_reset_for_tests();
    }
    void TearDown() override {
        kx::store_reset_for_tests();
        NsTest::TearDown();
    }

    int host(uint32_t flags) {
        kx::link_dump_args args{-1, 0, flags, &capture_sink};
        return kx::dump_link_info(&args);
    }

    // Runs the container side into a pipe and reads its groups back.
    std::vector<kx::link_lines> container(uint32_t flags) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        kx::link_dump_args args{ends[1], 7, flags};
        EXPECT_EQ(kx::dump_link_info(&args), 0); // closes the write end
        FILE *in = fdopen(ends[0], "r");
        std::vector<kx::link_lines> links;
        kx::link_lines link;
        while (kx::read_link_lines(in, link))
            links.push_back(link);
        fclose(in);
        return links;
    }
};

TEST_F(LinkDump, LoopbackOnlyDescribesNothing) {
    EXPECT_EQ(host(KXNET_INFO_IPV4 | KXNET_INFO_IPV6), 0);
    EXPECT_TRUE(updates.empty());
    EXPECT_TRUE(container(KXNET_INFO_IPV4 | KXNET_INFO_IPV6).empty());
}

TEST_F(LinkDump, HostReportsAndKinds) {
    ASSERT_EQ(sh("ip link add vnic0 type veth peer name veth-a"), 0);
    ASSERT_EQ(sh("ip link add eth0 address 00:1a:2b:3c:4d:5e type veth peer name p0"), 0);
    ASSERT_EQ(sh("ip link add eth9 type veth peer name eth8"), 0);
    ASSERT_EQ(sh("ip link set eth0 up && ip addr add 10.0.0.5/24 dev eth0"), 0);
    ASSERT_EQ(host(0), 0);

    const reported *eth0 = report_of("eth0");
    ASSERT_NE(eth0, nullptr);
    EXPECT_EQ(eth0->hwaddr, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(eth0->flags, strtol(kxtest::ns::sysfs("eth0", "flags").c_str(), nullptr, 16));
    for (const reported &r : updates) EXPECT_EQ(r.addrs, "") << r.name; // no address flags

    // Into the store: new links are typed by name, a typed one keeps its kind.
    kx::iface_update("eth9", 0).type(KXNETIF_VETH);
    kx::link_dump_args args{-1, 0, 0};
    ASSERT_EQ(kx::dump_link_info(&args), 0);
    for (const auto &[name, kind] : std::vector<std::pair<const char *, int>>{
             {"vnic0", KXNETIF_VNIC}, {"veth-a", KXNETIF_VETH}, {"p0", KXNETIF_ETH}, {"eth9", KXNETIF_VETH}}) {
        const kx::iface_record *r = kx::find_iface(name, 0, KXNETIF_ALL);
        ASSERT_NE(r, nullptr) << name;
        EXPECT_EQ(r->type, kind) << name;
    }
    const kx::iface_record *eth = kx::find_iface("eth0", 0, KXNETIF_ALL);
    ASSERT_NE(eth, nullptr);
    EXPECT_EQ(eth->state, uint32_t{KXNETIF_STATE_UP});
    EXPECT_EQ(kx::find_iface("p0", 0, KXNETIF_ALL)->state, uint32_t{KXNETIF_STATE_DOWN});
    EXPECT_EQ(eth->mask, 6u | KXNETIF_F_TYPE | KXNETIF_F_ADDRS | KXNETIF_F_HWADDR | KXNETIF_F_STATE | KXNETIF_F_FLAGS);
    EXPECT_TRUE(eth->addrs.empty());
}

TEST_F(LinkDump, AddressTexts) {
    ASSERT_EQ(sh("ip link add a0 type veth peer name a1"), 0);
    ASSERT_EQ(sh("ip addr add 10.0.0.5/24 dev a0 && ip addr add 10.0.1.7/16 dev a0"), 0);
    ASSERT_EQ(sh("ip -6 addr add 2001:db8::5/64 dev a0 nodad"), 0);
    ASSERT_EQ(sh("ip addr add 10.0.0.1 peer 10.0.0.2 dev a1"), 0);

    ASSERT_EQ(host(KXNET_INFO_IPV4), 0);
    EXPECT_EQ(addrs_of("a0"), "10.0.0.5/24 10.0.1.7/16");
    EXPECT_EQ(addrs_of("a1"), "10.0.0.1");

    updates.clear();
    ASSERT_EQ(host(KXNET_INFO_IPV4 | KXNET_INFO_IPV6), 0);
    EXPECT_EQ(addrs_of("a0"), "10.0.0.5/24 10.0.1.7/16 2001:db8::5/64");

    updates.clear();
    ASSERT_EQ(host(KXNET_INFO_IPV6), 0);
    EXPECT_EQ(addrs_of("a0"), "2001:db8::5/64");
    EXPECT_EQ(addrs_of("a1"), "");
}

TEST_F(LinkDump, TunnelHasNoHardwareAddress) {
    ASSERT_EQ(sh("ip tuntap add dev tun0 mode tun"), 0);
    ASSERT_EQ(host(KXNET_INFO_IPV4), 0);
    ASSERT_NE(report_of("tun0"), nullptr);
    EXPECT_EQ(report_of("tun0")->hwaddr, "");
    kx::link_dump_args args{-1, 0, 0};
    ASSERT_EQ(kx::dump_link_info(&args), 0);
    const kx::iface_record *tun = kx::find_iface("tun0", 0, KXNETIF_ALL);
    ASSERT_NE(tun, nullptr);
    EXPECT_EQ(tun->type, KXNETIF_UNKNOWN) << "no hardware address, no kind";
    EXPECT_FALSE(tun->hwaddr);

    auto links = container(KXNET_INFO_IPV4);
    ASSERT_EQ(links.size(), 1U);
    EXPECT_EQ(links[0].name, "tun0");
    EXPECT_EQ(links[0].hwaddr, "");
}

TEST_F(LinkDump, ContainerLinesInKernelOrder) {
    ASSERT_EQ(sh("ip link add eth0 address 02:00:00:00:00:01 type veth peer name vnic1"), 0);
    ASSERT_EQ(sh("ip link set eth0 up && ip addr add 10.1.1.2/24 dev eth0"), 0);
    ASSERT_EQ(sh("ip link add mv0 link eth0 type macvlan"), 0);
    const std::string order = kxtest::ns::capture(
        "ip -o link show | grep -v ' lo:' | cut -d: -f2 | cut -d@ -f1 | tr -d ' ' | tr '\\n' ,");

    auto links = container(KXNET_INFO_IPV4);
    std::string names;
    for (const auto &link : links)
        names += link.name + ",";
    EXPECT_EQ(names, order);
    ASSERT_GE(links.size(), 3U);
    const kx::link_lines *eth0 = nullptr;
    for (const auto &link : links)
        if (link.name == "eth0") eth0 = &link;
    ASSERT_NE(eth0, nullptr);
    EXPECT_EQ(eth0->addrs, "10.1.1.2/24");
    EXPECT_EQ(eth0->hwaddr, "02:00:00:00:00:01");
    EXPECT_EQ(eth0->flags, static_cast<uint32_t>(
                               strtol(kxtest::ns::sysfs("eth0", "flags").c_str(), nullptr, 16)));
    EXPECT_TRUE(updates.empty()); // the container side never reports to the store
}

} // namespace
