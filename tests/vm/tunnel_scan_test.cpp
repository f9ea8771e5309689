// IP tunnels on the stock kernel: ipip, gre and sit devices (and the
// fallback devices their modules make) answer the legacy bridge request
// with a tunnel request of their own, yet are no bridges, whether the scan
// knows their kind from the link dump or only from sysfs.
#include "frame/state.h"
#include "kxnet_ct.h"
#include "netinfo/host_collectors.h"
#include "netinfo/store.h"
#include "ns_env.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace ns = kxtest::ns;

namespace {

struct list_release {
    void operator()(kxnetif_info_list *list) const { kxnet_release_info(list); }
};

class TunnelScan : public NsTest {
protected:
    // Makes one tunnel of each kind the kernel has; skips when it has none.
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        for (const char *kind : {"ipip", "gre", "sit"}) {
            const std::string name = std::string("t-") + kind;
            if (ns::sh("ip link add " + name + " type " + kind + " local 10.9.0.1 remote 10.9.0.2 2>/dev/null") == 0)
                tunnels_.push_back(name);
            else
                missing_ += std::string(" ") + kind;
        }
        if (tunnels_.empty()) GTEST_SKIP() << "kernel has no IP tunnel drivers:" << missing_;
        for (const char *fallback : {"tunl0", "gre0", "sit0"})
            if (ns::device_exists(fallback)) tunnels_.emplace_back(fallback);
        ns::add_bridge("brreal");
    }
    void TearDown() override { kx::store_reset_for_tests(); }

    std::vector<std::string> tunnels_;
    std::string missing_;
};

} // namespace

TEST_F(TunnelScan, ATunnelIsNoBridgeInTheQueryOrTheSysfsScan) {
    if (!missing_.empty()) std::printf("tunnel kinds missing:%s\n", missing_.c_str());
    {
        std::unique_ptr<kxnetif_info_list, list_release> list(kxnet_get_info(KXNET_INFO_IPV4, nullptr));
        ASSERT_NE(list, nullptr);
        std::vector<std::string> bridges;
        for (kxnetif_info **item = list->items; *item != nullptr; ++item)
            if ((*item)->type == KXNETIF_BRIDGE) bridges.emplace_back((*item)->name);
        EXPECT_EQ(bridges, std::vector<std::string>{"brreal"});
    }
    // Without a dump the scan has only sysfs to go by.
    kx::store_reset_for_tests();
    kx::scan_bridges();
    for (const std::string &tunnel : tunnels_) {
        SCOPED_TRACE(tunnel);
        const kx::iface_record *record = kx::find_iface(tunnel.c_str(), 0, KXNETIF_ALL);
        EXPECT_TRUE(record == nullptr || record->type != KXNETIF_BRIDGE);
    }
    const kx::iface_record *bridge = kx::find_iface("brreal", 0, KXNETIF_ALL);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->type, KXNETIF_BRIDGE);
}
