// What stands in a file's place must not hang or mislead the library: a FIFO
// or /dev/zero as the registry or as a bridge's ifcfg file, and NUL bytes in
// an ifcfg file, seen through the exported operations on a real kernel.
#include "kxnet_ct.h"

#include "ns_env.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using kxtest::ns::at;
namespace ns = kxtest::ns;

struct list_release {
    void operator()(kxnetif_info_list *list) const { kxnet_release_info(list); }
};
using result = std::unique_ptr<kxnetif_info_list, list_release>;

// The configured addresses of the named host record of an unfiltered query.
std::vector<std::string> conf_addrs_of(const std::string &name) {
    result list(kxnet_get_info(KXNET_INFO_CONFIG | KXNET_INFO_IPV4, nullptr));
    EXPECT_TRUE(list);
    std::vector<std::string> found;
    if (!list) return found;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item) {
        if ((*item)->ctid != 0 || name != (*item)->name) continue;
        for (char **a = (*item)->conf_addrs; a != nullptr && *a != nullptr; ++a) found.push_back(*a);
    }
    return found;
}

class HostileFilesTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        kxtest::make_dirs(at("/etc/kx"));
        kxtest::make_dirs(at("/etc/sysconfig/network-scripts"));
        // A hang fails the test instead of stalling the lane.
        alarm(60);
    }
    void TearDown() override { alarm(0); }

    // Replaces `documented` with a FIFO, then with a link to /dev/zero, and
    // runs `check` for each.
    template <class Check> void with_each_hostile(const std::string &documented, Check check) {
        const std::string path = at(documented);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        check("fifo");
        ASSERT_EQ(unlink(path.c_str()), 0);
        ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
        check("/dev/zero");
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
};

TEST_F(HostileFilesTest, ARegistryThatIsNoFileFailsTheChangeAndFreesTheLock) {
    with_each_hostile("/etc/kx/kxnet.conf", [](const char *what) {
        EXPECT_EQ(kxnet_br_new("net-a", nullptr), KXNET_ERR_SYSTEM) << what;
        EXPECT_FALSE(ns::device_exists("br0")) << what;
        // The lock is free again: another process's change goes through.
        EXPECT_EQ(ns::sh("flock -n -x " + at("/tmp/kxnetcfg.lck") + " true"), 0) << what;
        EXPECT_EQ(kxnet_get_configured_networks(), nullptr) << what;
    });
    // The registry back as a file: everything works again in this process.
    ASSERT_EQ(kxnet_br_new("net-a", nullptr), KXNET_OK);
    EXPECT_TRUE(ns::device_exists("br0"));
}

TEST_F(HostileFilesTest, ABridgeIfcfgThatIsNoFileLeavesTheQueryWhole) {
    ns::add_bridge("br7");
    with_each_hostile("/etc/sysconfig/network-scripts/ifcfg-br7", [](const char *what) {
        result list(kxnet_get_info(KXNET_INFO_CONFIG, nullptr));
        ASSERT_TRUE(list) << what;
        bool seen = false;
        for (kxnetif_info **item = list->items; *item != nullptr; ++item)
            seen = seen || std::string((*item)->name) == "br7";
        EXPECT_TRUE(seen) << what;
    });
}

TEST_F(HostileFilesTest, NulBytesNeitherHideNorInventTheBootProtocol) {
    using namespace std::string_literals;
    ns::add_bridge("br7");
    const std::string file = at("/etc/sysconfig/network-scripts/ifcfg-br7");
    kxtest::write_file(file, "NAME=x\0y\nBOOTPROTO=dhcp\n"s);
    EXPECT_EQ(conf_addrs_of("br7"), std::vector<std::string>{"dhcp"});
    kxtest::write_file(file, "BOOTPROTO=static\0\ndhcp\n"s);
    EXPECT_EQ(conf_addrs_of("br7"), std::vector<std::string>{});
}

} // namespace
