// Dump replies kept in blocks: a link reply trimmed to the attributes a
// description reads describes the link exactly as the whole reply does, a
// reply whose attributes do not end cleanly is kept whole, and every reply
// keeps its place in the queue whatever its size.
#include "netinfo/link_dump.h"
#include "netinfo/link_facts.h"
#include "netinfo/reply_queue.h"

#include "rtnl/rtnl.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <gtest/gtest.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <string>
#include <vector>

namespace {

// An RTM_NEWLINK reply with whatever attributes a test adds.
struct link_message {
    alignas(nlmsghdr) unsigned char bytes[2048] = {};
    nlmsghdr *header() { return reinterpret_cast<nlmsghdr *>(bytes); }

    explicit link_message(int index) {
        header()->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        header()->nlmsg_type = RTM_NEWLINK;
        auto *link = static_cast<ifinfomsg *>(NLMSG_DATA(header()));
        link->ifi_index = index;
        link->ifi_type = ARPHRD_ETHER;
        link->ifi_flags = 0x1003;
    }
    link_message &add(int type, const void *data, int length) {
        kx::addattr_l(header(), sizeof bytes, type, data, length);
        return *this;
    }
    link_message &name(const char *text) { return add(IFLA_IFNAME, text, static_cast<int>(strlen(text)) + 1); }
    // IFLA_LINKINFO holding IFLA_INFO_KIND `kind`.
    link_message &kind(const char *text) {
        unsigned char nested[64] = {};
        auto *attr = reinterpret_cast<rtattr *>(nested);
        attr->rta_type = IFLA_INFO_KIND;
        attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(strlen(text) + 1));
        memcpy(RTA_DATA(attr), text, strlen(text) + 1);
        return add(IFLA_LINKINFO, nested, RTA_ALIGN(attr->rta_len));
    }
};

// The four lines a container child writes for `message`.
std::string lines_of(const nlmsghdr *message) {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    kx::reply_queue none;
    kx::handle_link_msg(message, kx::addr_queues{none, none}, stream, kx::store_link_sink());
    fclose(stream);
    std::string out(text, size);
    free(text);
    return out;
}

nlmsghdr *queued(kx::reply_queue &queue, link_message &message) {
    EXPECT_EQ(kx::queue_link_reply(nullptr, message.header(), &queue), 0);
    return queue.messages().back();
}

TEST(ReplyQueue, TrimmedLinkReplyDescribesTheLinkAsTheWholeOne) {
    const unsigned char hw[6] = {0x02, 0, 0, 0, 0, 0x09};
    const unsigned char stats[400] = {7};
    const uint32_t mtu = 1500;
    link_message whole(9);
    whole.name("first").add(IFLA_MTU, &mtu, 4).add(IFLA_ADDRESS, hw, 6).add(IFLA_STATS64, stats, sizeof stats);
    whole.kind("veth").name("eth9"); // the later name wins, in both

    kx::reply_queue queue;
    const nlmsghdr *copy = queued(queue, whole);
    EXPECT_LT(copy->nlmsg_len, whole.header()->nlmsg_len / 4) << "statistics and MTU are left out";
    EXPECT_EQ(lines_of(copy), lines_of(whole.header()));
    EXPECT_EQ(lines_of(copy), "eth9\n\n02:00:00:00:00:09\n4099\n");

    kx::link_facts facts;
    facts.note(copy);
    facts.finish();
    EXPECT_EQ(facts.bridge_answer_for("eth9"), kx::bridge_answer::not_bridge);
    EXPECT_EQ(facts.bridge_answer_for("first"), kx::bridge_answer::ask);
}

// A reply repeating its kept attributes more often than one walk notes
// them is trimmed all the same, every repeat kept in order.
TEST(ReplyQueue, ReplyWithManyKeptAttributesIsTrimmedWhole) {
    const uint32_t mtu = 1500;
    link_message whole(5);
    for (int i = 0; i < 12; ++i) whole.name(("eth" + std::to_string(i)).c_str()).add(IFLA_MTU, &mtu, 4);
    kx::reply_queue queue;
    const nlmsghdr *copy = queued(queue, whole);
    EXPECT_EQ(copy->nlmsg_len, whole.header()->nlmsg_len - 12 * RTA_SPACE(4));
    EXPECT_EQ(lines_of(copy), "eth11\n\n\n4099\n");
    EXPECT_EQ(lines_of(copy), lines_of(whole.header()));
}

// Names alike in their first eight bytes, prefixes of each other, of the
// full fifteen characters and with high bytes each find their own answer.
TEST(ReplyQueue, LinkFactsFindEveryNameAmongLookAlikes) {
    const struct {
        const char *name, *kind;
        kx::bridge_answer answer;
    } links[] = {{"abcdefgh1", "bridge", kx::bridge_answer::bridge},
                 {"abcdefgh2", "veth", kx::bridge_answer::not_bridge},
                 {"abcdefgh", "bridge", kx::bridge_answer::bridge},
                 {"abcdefghijklmno", "dummy", kx::bridge_answer::not_bridge},
                 {"abcdefghijklmn", "tun", kx::bridge_answer::ask},
                 {"a\xe9" "b", "bridge", kx::bridge_answer::bridge},
                 {"a", "vlan", kx::bridge_answer::not_bridge}};
    kx::link_facts facts;
    kx::reply_queue queue;
    int index = 1;
    for (const auto &l : links) {
        link_message message(index++);
        message.name(l.name).kind(l.kind);
        facts.note(queued(queue, message));
    }
    facts.finish();
    for (const auto &l : links) EXPECT_EQ(facts.bridge_answer_for(l.name), l.answer) << l.name;
    for (const char *unknown : {"abcdefgh3", "abcdefg", "ab", "abcdefghijklmnop"})
        EXPECT_EQ(facts.bridge_answer_for(unknown), kx::bridge_answer::ask) << unknown;
}

// A bridge's ports are the links naming it as their master, through the
// trimmed copies, sorted as its brif directory lists them; only a whole
// dump that showed the bridge driver's device answers.
TEST(ReplyQueue, LinkFactsGiveABridgesPortsFromTheMasters) {
    const struct {
        int index;
        const char *name, *kind;
        int master;
    } links[] = {{1, "br0", "bridge", 0}, {2, "vz9", "veth", 1}, {3, "va1", "veth", 1}, {4, "br1", "bridge", 0},
                 {5, "vm1", "veth", 4},   {6, "bond0", "bond", 0}, {7, "eth1", "veth", 6}, {8, "brempty", "bridge", 0}};
    auto facts_of = [&](bool whole) {
        kx::link_facts facts;
        kx::reply_queue queue;
        for (const auto &l : links) {
            link_message message(l.index);
            message.name(l.name).kind(l.kind);
            if (l.master != 0) message.add(IFLA_MASTER, &l.master, 4);
            facts.note(queued(queue, message));
        }
        facts.whole = whole;
        facts.finish();
        return facts;
    };
    using ports = std::optional<std::vector<std::string>>;
    const kx::link_facts facts = facts_of(true);
    EXPECT_EQ(facts.ports_of("br0"), ports({"va1", "vz9"}));
    EXPECT_EQ(facts.ports_of("br1"), ports({"vm1"}));
    EXPECT_EQ(facts.ports_of("brempty"), ports(std::vector<std::string>{}));
    for (const char *not_a_bridge : {"bond0", "vz9", "absent"}) EXPECT_EQ(facts.ports_of(not_a_bridge), std::nullopt);
    EXPECT_EQ(facts_of(false).ports_of("br0"), std::nullopt) << "a dump of one link knows no ports";
}

TEST(ReplyQueue, ReplyWithAnUnevenAttributeRunIsKeptWhole) {
    link_message uneven(3);
    uneven.name("eth3");
    uneven.header()->nlmsg_len += 2; // two stray bytes after the last attribute
    kx::reply_queue queue;
    const nlmsghdr *copy = queued(queue, uneven);
    ASSERT_EQ(copy->nlmsg_len, uneven.header()->nlmsg_len);
    EXPECT_EQ(memcmp(copy, uneven.header(), copy->nlmsg_len), 0);

    link_message address_reply(4);
    address_reply.header()->nlmsg_type = RTM_NEWADDR;
    EXPECT_EQ(queued(queue, address_reply)->nlmsg_len, address_reply.header()->nlmsg_len);
}

TEST(ReplyQueue, RepliesKeepTheirOrderAcrossBlocksAndOversizedOnes) {
    kx::reply_queue queue;
    std::vector<unsigned char> big(70000 + NLMSG_HDRLEN, 0xab);
    auto *large = reinterpret_cast<nlmsghdr *>(big.data());
    large->nlmsg_len = static_cast<uint32_t>(big.size());
    large->nlmsg_type = RTM_NEWADDR;
    link_message small(1);
    for (int i = 0; i < 3000; ++i) {
        small.header()->nlmsg_seq = static_cast<uint32_t>(i);
        ASSERT_EQ(kx::queue_reply(nullptr, i == 1500 ? large : small.header(), &queue), 0);
    }
    ASSERT_EQ(queue.messages().size(), 3000u);
    for (int i = 0; i < 3000; ++i) {
        const nlmsghdr *message = queue.messages()[static_cast<size_t>(i)];
        if (i == 1500) {
            EXPECT_EQ(memcmp(message, large, large->nlmsg_len), 0);
        } else {
            EXPECT_EQ(message->nlmsg_seq, static_cast<uint32_t>(i));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(message) % 8, 0u);
        }
    }
    queue.clear();
    EXPECT_TRUE(queue.messages().empty());
}

} // namespace
