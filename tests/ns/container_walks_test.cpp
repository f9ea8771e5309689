// The configuration walks against a container library that answers
// differently from the stand-in: kxctl_open refusing, and a configuration
// whose parameters cannot be set.  The test binary interposes the two calls
// (its definitions win over libkxctl.so.1's) and forwards them by default.
#include "kxnet_ct.h"

#include "kxctl.h"

#include "ns_env.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

int open_answer = 0;
int set_param_answer = 0; // 0: the stand-in decides
int save_calls = 0;

template <class Fn> Fn next_definition(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int kxctl_open(void) {
    static auto real = next_definition<int (*)()>("kxctl_open");
    int answer = real();
    return open_answer != 0 ? open_answer : answer;
}

extern "C" int kxctl_conf_set_env_param(kxctl_conf *conf, kxctl_env_param *param) {
    static auto real = next_definition<int (*)(kxctl_conf *, kxctl_env_param *)>("kxctl_conf_set_env_param");
    int answer = real(conf, param);
    return set_param_answer != 0 ? set_param_answer : answer;
}

extern "C" int kxctl_conf_save(kxctl_conf *conf, const char *path) {
    static auto real = next_definition<int (*)(kxctl_conf *, const char *)>("kxctl_conf_save");
    ++save_calls;
    return real(conf, path);
}

namespace {

using kxtest::ns::at;
namespace ns = kxtest::ns;

int kxct(const std::string &args) { return ns::sh(ns::binary_dir() + "/platform/kxct/kxct " + args); }

struct list_release {
    void operator()(kxnetif_info_list *list) const { kxnet_release_info(list); }
};

class ContainerWalksTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        kxtest::make_dirs(at("/etc/kx"));
        open_answer = 0;
        set_param_answer = 0;
        save_calls = 0;
    }
    void TearDown() override {
        if (ns::available()) kxct("stop 101 2>/dev/null");
    }
};

TEST_F(ContainerWalksTest, AnUnfilteredQueryCollectsEvenWhenOpenRefuses) {
    ASSERT_EQ(kxct("create 101 --veth veth101.0:net1"), 0);
    ASSERT_EQ(kxct("start 101"), 0);
    ns::add_veth("nic0", "nic0p");
    open_answer = 1;
    std::unique_ptr<kxnetif_info_list, list_release> list(kxnet_get_info(KXNET_INFO_IPV4, nullptr));
    ASSERT_TRUE(list);
    bool container_eth0 = false, host_nic_with_hwaddr = false;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item) {
        const kxnetif_info *r = *item;
        container_eth0 = container_eth0 || (r->ctid == 101 && std::string(r->name) == "eth0");
        host_nic_with_hwaddr =
            host_nic_with_hwaddr || (r->ctid == 0 && std::string(r->name) == "nic0" && r->hwaddr != nullptr);
    }
    EXPECT_TRUE(container_eth0);
    // The host's own link dump ran: its devices carry their hardware address.
    EXPECT_TRUE(host_nic_with_hwaddr);
}

TEST_F(ContainerWalksTest, RenameAsksForTheSaveWhenSettingTheParametersFails) {
    ASSERT_EQ(kxct("create 101 --veth vh101:net-old"), 0);
    ASSERT_EQ(kxnet_br_new("net-old", nullptr), KXNET_OK);
    set_param_answer = 4;
    EXPECT_EQ(kxnet_br_change("net-old", "net-new"), KXNET_ERR_SYSTEM);
    EXPECT_EQ(save_calls, 1);
    // The registry keeps the new id, as after any failed walk.
    std::unique_ptr<char, decltype(&free)> bridge(kxnet_get_bridge_by_networkid("net-new"), &free);
    ASSERT_TRUE(bridge);
    EXPECT_STREQ(bridge.get(), "br0");
}

} // namespace
