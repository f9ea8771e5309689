// The link and address dump against the kernel of a fresh namespace: the
// host updates it reports (captured through a test sink) and the four-line
// format it writes for the container collector.
#include "netinfo/link_dump.h"

#include "ns_env.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kxtest::ns::sh;

struct update {
    std::string name; // set on the update that names the record
    int ctid;
    uint32_t key;
    std::string text;
    int64_t number;
};

std::vector<update> updates;
// The record the sink hands back; its type decides whether a kind is set.
kxnetif_info record{};

bool is_text_key(uint32_t key) { return key == KXNETIF_F_ADDRS || key == KXNETIF_F_HWADDR; }

update make_update(const char *name, int ctid, uint32_t key, kx::kxnetif_value value) {
    update u{name != nullptr ? name : "", ctid, key, "", 0};
    if (is_text_key(key))
        u.text = reinterpret_cast<const char *>(value);
    else
        u.number = static_cast<int64_t>(value);
    return u;
}

kxnetif_info *capture_named(const char *name, int32_t ctid, uint32_t key, kx::kxnetif_value value) {
    updates.push_back(make_update(name, ctid, key, value));
    return &record;
}

kxnetif_info *capture_last(uint32_t key, kx::kxnetif_value value) {
    updates.push_back(make_update(nullptr, -1, key, value));
    return &record;
}

const kx::link_report_sink capture{capture_named, capture_last};

// The updates between the one naming `name` and the next naming one.
std::vector<update> updates_of(const std::string &name) {
    std::vector<update> found;
    bool inside = false;
    for (const update &u : updates) {
        if (!u.name.empty()) inside = u.name == name;
        if (inside) found.push_back(u);
    }
    return found;
}

std::string addrs_of(const std::string &name) {
    auto found = updates_of(name);
    return found.empty() ? "<none>" : found.front().text;
}

class LinkDump : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        updates.clear();
        record = kxnetif_info{};
        record.type = KXNETIF_UNKNOWN;
    }

    int host(uint32_t flags) {
        kx::link_dump_args args{-1, 0, flags, &capture};
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

TEST_F(LinkDump, HostRecordSequenceAndKinds) {
    ASSERT_EQ(sh("ip link add vnic0 type veth peer name veth-a"), 0);
    ASSERT_EQ(sh("ip link add eth0 address 00:1a:2b:3c:4d:5e type veth peer name p0"), 0);
    ASSERT_EQ(sh("ip link set eth0 up && ip addr add 10.0.0.5/24 dev eth0"), 0);
    ASSERT_EQ(host(0), 0);

    auto eth0 = updates_of("eth0");
    ASSERT_EQ(eth0.size(), 5U);
    EXPECT_EQ(eth0[0].ctid, 0);
    EXPECT_EQ(eth0[0].key, KXNETIF_F_ADDRS);
    EXPECT_EQ(eth0[0].text, ""); // no address flags: an empty update
    EXPECT_EQ(eth0[1].key, KXNETIF_F_HWADDR);
    EXPECT_EQ(eth0[1].text, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(eth0[2].key, KXNETIF_F_TYPE);
    EXPECT_EQ(eth0[2].number, KXNETIF_ETH);
    EXPECT_EQ(eth0[3].key, KXNETIF_F_STATE);
    EXPECT_EQ(eth0[3].number, KXNETIF_STATE_UP);
    EXPECT_EQ(eth0[4].key, KXNETIF_F_FLAGS);
    EXPECT_EQ(eth0[4].number, strtol(kxtest::ns::sysfs("eth0", "flags").c_str(), nullptr, 16));

    EXPECT_EQ(updates_of("vnic0")[2].number, KXNETIF_VNIC);
    EXPECT_EQ(updates_of("veth-a")[2].number, KXNETIF_VETH);
    EXPECT_EQ(updates_of("p0")[2].number, KXNETIF_ETH);
    EXPECT_EQ(updates_of("p0")[3].number, KXNETIF_STATE_DOWN);
    for (const update &u : updates)
        if (u.key == KXNETIF_F_ADDRS) {
            EXPECT_EQ(u.text, "") << u.name;
        }
}

TEST_F(LinkDump, TypedRecordKeepsItsKind) {
    ASSERT_EQ(sh("ip link add eth0 type veth peer name eth1"), 0);
    record.type = KXNETIF_VETH;
    ASSERT_EQ(host(0), 0);
    for (const update &u : updates)
        EXPECT_NE(u.key, KXNETIF_F_TYPE);
    EXPECT_EQ(updates_of("eth0").size(), 4U);
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
    auto tun = updates_of("tun0");
    ASSERT_EQ(tun.size(), 3U); // addresses, state, flags: no hwaddr, no kind
    EXPECT_EQ(tun[1].key, KXNETIF_F_STATE);
    EXPECT_EQ(tun[2].key, KXNETIF_F_FLAGS);

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
