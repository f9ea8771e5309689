// Hardware addresses of pair devices: unicast, locally administered, random.
#include "devices/ports.h"

#include <array>
#include <gtest/gtest.h>
#include <set>

TEST(GenHwaddr, EveryAddressStartsWithFeAndTheRestVaries) {
    std::set<std::array<unsigned char, 6>> seen;
    for (int i = 0; i < 64; ++i) {
        std::array<unsigned char, 6> address{};
        ASSERT_EQ(kx::gen_hwaddr(address.data()), 0);
        EXPECT_EQ(address[0], 0xfe);
        seen.insert(address);
    }
    EXPECT_GT(seen.size(), 60u);
}
