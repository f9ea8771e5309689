// Reading the switch's bridge and port listing.
#include "devices/ovs_listing.h"

#include <gtest/gtest.h>

namespace {

using bridges = std::vector<kx::ovs_bridge>;

std::vector<std::string> names(const bridges &list) {
    std::vector<std::string> out;
    for (const auto &bridge : list) out.push_back(bridge.name);
    return out;
}

TEST(OvsListing, BridgesGetTheirPortsByName) {
    bridges found = kx::parse_ovs_listing("br1,a1 a2 a3\n"
                                          "br0,b1\n"
                                          "empty,\n"
                                          "\n"
                                          "a1,veth9\na2,br1\na3,\"we,i\"\"rd\"\nb1,eth0\n");
    ASSERT_EQ(names(found), (std::vector<std::string>{"br0", "br1", "empty"}));
    EXPECT_EQ(found[0].ports, std::vector<std::string>{"eth0"});
    // The bridge's own port is left out; the rest in name order, CSV unquoted.
    EXPECT_EQ(found[1].ports, (std::vector<std::string>{"veth9", "we,i\"rd"}));
    EXPECT_TRUE(found[2].ports.empty());
}

TEST(OvsListing, MalformedRowsAndUnknownPortsAreSkipped) {
    bridges found = kx::parse_ovs_listing("lonely\n,x\nbr0,p1 p2\n\np1,v1\n\nextra,row,here\n");
    ASSERT_EQ(names(found), std::vector<std::string>{"br0"});
    EXPECT_EQ(found[0].ports, std::vector<std::string>{"v1"});
    EXPECT_TRUE(kx::parse_ovs_listing("").empty());
    EXPECT_TRUE(kx::parse_ovs_listing("\n\n").empty());
}

} // namespace
