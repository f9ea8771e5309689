// Networks end to end on the real kernel: bridges made and removed through
// the exported calls, the automatic index search, container interfaces
// re-attached to a new bridge, the rename walk over kxct's containers, and
// refused input that must leave the host, registry and log untouched.
#include "devices/bridge_device.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

using kxtest::file_exists;
using kxtest::log_messages;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

int kxct(const std::string &args) { return ns::sh(ns::binary_dir() + "/platform/kxct/kxct " + args); }

std::string registry_text() {
    const std::string path = ns::at("/etc/kx/kxnet.conf");
    return file_exists(path) ? read_file(path) : "";
}

std::string conf_text(int ctid) { return read_file(ns::at("/etc/kxctl/" + std::to_string(ctid) + ".conf")); }

ino_t conf_inode(int ctid) {
    struct stat info {};
    stat(ns::at("/etc/kxctl/" + std::to_string(ctid) + ".conf").c_str(), &info);
    return info.st_ino;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

bool is_lock_line(const std::string &m) { return m.rfind("libkxnet: ", 0) == 0; }

// The messages other than the lock lines.
std::vector<std::string> body_messages() {
    std::vector<std::string> out;
    for (const auto &m : log_messages())
        if (!is_lock_line(m)) out.push_back(m);
    return out;
}

std::vector<std::string> devices() { return kxtest::list_dir("/sys/class/net"); }

class LifecycleTest : public LibraryTest {
protected:

    // choose_bridge_index over a registry of the given text.
    int index_with_registry(const std::string &text) {
        write_file(ns::at("/etc/kx/kxnet.conf"), text);
        EXPECT_EQ(kx::registry_load(), 0);
        int sock = kx::ctl_socket_acquire();
        int index = kx::choose_bridge_index(sock);
        kx::ctl_socket_release();
        return index;
    }
};

TEST_F(LifecycleTest, AutomaticBridgeIsMadeUpWithNoForwardDelayAndNamesClimb) {
    char name[16] = "";
    ASSERT_EQ(kxnet_br_new("net-a", name), KXNET_OK);
    EXPECT_STREQ(name, "br0");
    EXPECT_TRUE(ns::device_exists("br0"));
    EXPECT_TRUE(ns::is_up("br0"));
    EXPECT_EQ(ns::sysfs("br0", "bridge/forward_delay"), "0");
    EXPECT_TRUE(contains(registry_text(), "VNID_br0=\"net-a\""));

    // The lock lines frame the outcome line.
    auto messages = log_messages();
    auto outcome = std::find(messages.begin(), messages.end(), "Network \"net-a\" is added");
    ASSERT_NE(outcome, messages.end());
    EXPECT_EQ(messages.front(), "libkxnet: grab_excl_kxnetlock");
    EXPECT_EQ(messages[1], "libkxnet: grab_excl_kxnetlock done");
    ASSERT_EQ(messages.end() - outcome, 3);
    EXPECT_EQ(outcome[1], "libkxnet: release_kxnetlock");
    EXPECT_EQ(outcome[2], "libkxnet: release_kxnetlock done");

    char next[16] = "";
    ASSERT_EQ(kxnet_br_new("net-b", next), KXNET_OK);
    EXPECT_STREQ(next, "br1");
    // A null buffer still makes an automatic bridge.
    ASSERT_EQ(kxnet_br_new("net-c", nullptr), KXNET_OK);
    EXPECT_TRUE(ns::device_exists("br2"));
    EXPECT_EQ(kx::last_bridge_index(), 2);

    EXPECT_EQ(kxnet_br_new("net-a", next), KXNET_ERR_EXISTS);
    EXPECT_EQ(body_messages().back(), "Failed to add network \"net-a\", err = 1");

    kxtest::clear_log();
    ASSERT_EQ(kxnet_br_del("net-b"), KXNET_OK);
    EXPECT_FALSE(ns::device_exists("br1"));
    EXPECT_FALSE(contains(registry_text(), "net-b"));
    EXPECT_EQ(body_messages().back(), "Network \"net-b\" is removed");
    EXPECT_EQ(log_messages().back(), "libkxnet: release_kxnetlock done");
    EXPECT_EQ(kxnet_br_del("net-b"), KXNET_ERR_NOT_FOUND);
    EXPECT_EQ(body_messages().back(), "Failed to remove network \"net-b\", err = 2");
}

TEST_F(LifecycleTest, IndexSearchSkipsRegistryBridgesAndForeignDevices) {
    ns::add_bridge("br6");
    kx::set_last_bridge_index(4);
    EXPECT_EQ(index_with_registry("VNID_br5=\"n5\"\nVNID_br7x=\"n7\"\n"), 8);
    kx::set_last_bridge_index(-1);
    EXPECT_EQ(index_with_registry("VNID_brX=\"nx\"\nVNID_eth0=\"ne\"\n"), 0);
}

TEST_F(LifecycleTest, IndexSearchWrapsOnceFromTheTop) {
    kx::set_last_bridge_index(1024);
    EXPECT_EQ(index_with_registry(""), 1);

    std::string all;
    for (int i = 1; i <= 1024; ++i) all += "VNID_br" + std::to_string(i) + "=\"n" + std::to_string(i) + "\"\n";
    kx::set_last_bridge_index(0);
    EXPECT_EQ(index_with_registry(all), -ENOSPC);
    // Index 0 is offered only by a search that starts from the initial -1.
    kx::set_last_bridge_index(-1);
    EXPECT_EQ(index_with_registry(all), 0);

    char name[16] = "";
    kx::set_last_bridge_index(0);
    EXPECT_EQ(kxnet_br_new("one-more", name), KXNET_ERR_SYSTEM);
    EXPECT_STREQ(name, "");
}

TEST_F(LifecycleTest, NetworkNamedAfterADeviceRegistersItAndLeavesItOnDelete) {
    ns::add_bridge("lan0");
    char name[16] = "";
    ASSERT_EQ(kxnet_br_new("lan0", name), KXNET_OK);
    EXPECT_STREQ(name, "lan0");
    EXPECT_FALSE(ns::device_exists("br0"));
    EXPECT_TRUE(contains(registry_text(), "VNID_lan0=\"lan0\""));
    ASSERT_EQ(kxnet_br_del("lan0"), KXNET_OK);
    EXPECT_TRUE(ns::device_exists("lan0"));
    EXPECT_FALSE(contains(registry_text(), "lan0"));

    // Only an exact match counts: an id longer than a device name is none.
    ns::add_bridge("abcdefghijklmno");
    name[0] = '\0';
    ASSERT_EQ(kxnet_br_new("abcdefghijklmnopq", name), KXNET_OK);
    EXPECT_STREQ(name, "br0");
    EXPECT_TRUE(ns::device_exists("br0"));
}

TEST_F(LifecycleTest, DeletingANetworkWhoseBridgeIsGoneForgetsIt) {
    char name[16] = "";
    ASSERT_EQ(kxnet_br_new("net-gone", name), KXNET_OK);
    ASSERT_EQ(ns::sh("ip link del br0"), 0);
    EXPECT_EQ(kxnet_br_del("net-gone"), KXNET_OK);
    EXPECT_FALSE(contains(registry_text(), "net-gone"));
    EXPECT_EQ(kx::bridge_destroy("br0", nullptr, 0).error, 0);
}

TEST_F(LifecycleTest, CallerNamedBridges) {
    char longer[32] = "averyveryverylongname";
    ASSERT_EQ(kxnet_br_new("net-long", longer), KXNET_OK);
    EXPECT_TRUE(ns::device_exists("averyveryverylo"));
    EXPECT_STREQ(longer, "averyveryverylongname"); // a named buffer is not written
    EXPECT_TRUE(contains(registry_text(), "VNID_averyveryverylo=\"net-long\""));

    ns::add_veth("taken0", "taken1");
    char taken[16] = "taken0";
    EXPECT_EQ(kxnet_br_new("net-t", taken), KXNET_ERR_EXISTS);
    // A registered bridge whose device went away is not handed out twice.
    ASSERT_EQ(ns::sh("ip link del averyveryverylo"), 0);
    char again[16] = "averyveryverylo";
    EXPECT_EQ(kxnet_br_new("net-t", again), KXNET_ERR_EXISTS);
    // A name the registry line could not hold.
    // A network named after another network's bridge cannot take it over.
    ns::add_bridge("averyveryverylo");
    EXPECT_EQ(kxnet_br_new("averyveryverylo", nullptr), KXNET_ERR_EXISTS);
    char odd[16] = "a=b";
    EXPECT_EQ(kxnet_br_new("net-t", odd), KXNET_ERR_INVALID);
    EXPECT_FALSE(contains(registry_text(), "net-t"));
}

TEST_F(LifecycleTest, CreatingANetworkReattachesContainerHostEnds) {
    ASSERT_EQ(kxct("create 101 --veth vh101a:net-r,vh101b:other"), 0);
    ASSERT_EQ(kxct("create 102 --veth vh102:net-r"), 0);
    ASSERT_EQ(kxct("start 101"), 0);
    ASSERT_EQ(kxct("start 102"), 0);
    ns::sh("ip link set vh101a down; ip link set vh102 down");

    char name[16] = "";
    ASSERT_EQ(kxnet_br_new("net-r", name), KXNET_OK);
    EXPECT_EQ(ns::bridge_ports(name), (std::vector<std::string>{"vh101a", "vh102"}));
    EXPECT_TRUE(ns::is_up("vh101a"));
    EXPECT_TRUE(ns::is_up("vh102"));
    // Each container is walked once, so no port is added twice.
    for (const auto &m : body_messages()) EXPECT_NE(m.rfind("Failed to add device", 0), 0u) << m;
    kxct("stop 101");
    kxct("stop 102");
}

TEST_F(LifecycleTest, RenameRewritesEveryBoundContainerAndRefusesATakenId) {
    ASSERT_EQ(kxct("create 201 --veth vh201:net-old,vh201b:keep"), 0);
    ASSERT_EQ(kxct("create 202 --veth vh202:net-old"), 0); // stays stopped
    ASSERT_EQ(kxct("create 203 --veth vh203:keep"), 0);
    ASSERT_EQ(kxct("start 201"), 0);
    char name[16] = "";
    ASSERT_EQ(kxnet_br_new("net-old", name), KXNET_OK);
    ASSERT_EQ(kxnet_br_new("net-x", nullptr), KXNET_OK);
    const ino_t untouched = conf_inode(203);
    const std::string untouched_text = conf_text(203);

    ASSERT_EQ(kxnet_br_change("net-old", "net-new"), KXNET_OK);
    EXPECT_EQ(body_messages().back(), "Network \"net-old\" renamed to \"net-new\"");
    for (int ctid : {201, 202}) {
        EXPECT_TRUE(contains(conf_text(ctid), "net-new")) << conf_text(ctid);
        EXPECT_FALSE(contains(conf_text(ctid), "net-old")) << conf_text(ctid);
    }
    EXPECT_TRUE(contains(conf_text(201), "keep"));
    EXPECT_EQ(conf_inode(203), untouched);
    EXPECT_EQ(conf_text(203), untouched_text);
    EXPECT_TRUE(contains(registry_text(), "VNID_br0=\"net-new\""));
    EXPECT_TRUE(ns::device_exists("br0"));

    const std::string registry = registry_text();
    const std::string conf201 = conf_text(201);
    EXPECT_EQ(kxnet_br_change("net-new", "net-x"), KXNET_ERR_EXISTS);
    EXPECT_EQ(body_messages().back(), "Failed to rename network \"net-new\" to \"net-x\", err = 1");
    EXPECT_EQ(registry_text(), registry);
    EXPECT_EQ(conf_text(201), conf201);
    EXPECT_EQ(kxnet_br_change("absent", "net-y"), KXNET_ERR_NOT_FOUND);
    kxct("stop 201");
}

TEST_F(LifecycleTest, MalformedNetworkIdsChangeNothing) {
    char name[16] = "";
    ASSERT_EQ(kxnet_br_new("good", name), KXNET_OK);
    const std::string registry = registry_text();
    const auto host = devices();
    kxtest::clear_log();

    const std::vector<std::string> bad = {"a b", "a\"b", "a=b", "a\nb", std::string("a\x01" "b"), "",
                                          std::string(64, 'n')};
    for (const auto &id : bad) {
        char buffer[16] = "";
        EXPECT_EQ(kxnet_br_new(id.c_str(), buffer), KXNET_ERR_INVALID) << id;
        EXPECT_STREQ(buffer, "");
        EXPECT_EQ(kxnet_br_change("good", id.c_str()), KXNET_ERR_INVALID) << id;
        EXPECT_EQ(kxnet_br_change(id.c_str(), "fine"), KXNET_ERR_INVALID) << id;
    }
    EXPECT_EQ(registry_text(), registry);
    EXPECT_EQ(devices(), host);
    // Only the outcome lines were written, one each: the log escapes an id's
    // control bytes.
    const std::vector<std::string> shown = {"a b", "a\"b", "a=b", "a\\nb", "a\\x01b", "", std::string(64, 'n')};
    std::string expected, seen;
    for (const auto &id : shown)
        expected += "Failed to add network \"" + id + "\", err = 3\n" + "Failed to rename network \"good\" to \"" +
                    id + "\", err = 3\n" + "Failed to rename network \"" + id + "\" to \"fine\", err = 3\n";
    for (const auto &m : body_messages()) seen += m + "\n";
    EXPECT_EQ(seen, expected);

    // The longest valid id is taken.
    EXPECT_EQ(kxnet_br_new(std::string(63, 'n').c_str(), nullptr), KXNET_OK);
}

TEST_F(LifecycleTest, NullPointersAreRefusedAndLogged) {
    EXPECT_EQ(kxnet_br_del(nullptr), KXNET_ERR_INVALID);
    EXPECT_EQ(body_messages().back(), "Failed to remove network \"(null)\", err = 3");
    EXPECT_EQ(kxnet_br_new(nullptr, nullptr), KXNET_ERR_INVALID);
    EXPECT_EQ(body_messages().back(), "Failed to add network \"(null)\", err = 3");
    EXPECT_EQ(kxnet_br_change(nullptr, "x"), KXNET_ERR_INVALID);
    EXPECT_EQ(kxnet_br_change("x", nullptr), KXNET_ERR_INVALID);
    EXPECT_EQ(body_messages().back(), "Failed to rename network \"x\" to \"(null)\", err = 3");
    EXPECT_EQ(kxnet_br_del_SL(nullptr), KXNET_ERR_INVALID);
}

TEST_F(LifecycleTest, BridgeCreateReusesAnExistingBridge) {
    ns::add_bridge("brx");
    int sock = kx::ctl_socket_acquire();
    EXPECT_EQ(kx::bridge_create(sock, "brx", "n"), 0);
    kx::ctl_socket_release();
    EXPECT_TRUE(ns::is_up("brx"));
    EXPECT_EQ(ns::sysfs("brx", "bridge/forward_delay"), "0");
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}

// With Open vSwitch active a network's bridge is no Linux bridge: it is
// deleted through ovs-vsctl.
TEST_F(LifecycleTest, OpenVswitchBridgeIsDeletedThroughTheTool) {
    ns::add_veth("ovsbr0", "ovspeer");
    write_file(ns::at("/usr/bin/ovs-vsctl"), "#!/bin/sh\necho \"$@\" >> " + ns::at("/calls") + "\n", 0755);
    kx::state().ovs_enabled = 1;
    EXPECT_EQ(kx::bridge_destroy("ovsbr0", "", 0).error, 0);
    EXPECT_EQ(read_file(ns::at("/calls")), "-- --if-exists del-br ovsbr0\n");
}

} // namespace
