// Names from callers that would break a registry line, an ifcfg file, a
// shell command or a command's arguments: every export that takes a device,
// bridge or VLAN name refuses them with KXNET_ERR_INVALID and one log line
// before it changes anything, also when the kernel has a device of that
// name; the query still lists such a device.
#include "frame/log.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using kxtest::file_exists;
using kxtest::read_file;
namespace ns = kxtest::ns;

namespace {

// `text` as one single-quoted shell word.
std::string shell_word(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string registry_text() {
    const std::string path = ns::at("/etc/kx/kxnet.conf");
    return file_exists(path) ? read_file(path) : "";
}

bool logged(const std::string &message) {
    const auto messages = kxtest::log_messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

bool has_control_byte(const std::string &text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < ' '; });
}

struct list_release {
    void operator()(kxnetif_info_list *list) const { kxnet_release_info(list); }
};

class NameRule : public LibraryTest {
protected:
    // A physical-looking device named `name` (a veth whose peer is pN), up.
    // False when the kernel refuses the name.
    bool add_nic(const std::string &name) {
        const std::string peer = "pn" + std::to_string(peers_++);
        if (ns::sh("ip link add name " + shell_word(name) + " type veth peer name " + peer + " 2>/dev/null") != 0)
            return false;
        ns::sh("ip link set dev " + shell_word(name) + " up");
        return true;
    }

    int peers_ = 0;
};

} // namespace

TEST_F(NameRule, EveryExportRefusesANameOutsideTheRuleBeforeAnyChange) {
    char made[16] = "";
    ASSERT_EQ(kxnet_br_new("net-a", made), KXNET_OK);
    const std::string bridge = made;
    kxtest::write_file(ns::at("/sys/class/net/" + bridge + "/bridge/via_phys_dev"), "0");
    const std::string marker = ns::at("/tmp/name-ran");
    struct bad_name {
        std::string name;
        bool bridge_too; // a bridge name buffer would carry it (not empty, not cut)
    };
    const std::vector<bad_name> names = {
        {"nic9\"x", true},      {"nic9'x", true},      {"nic$x", true},
        {"nic`x`", true},       {"nic x", true},       {"nic;x", true},
        {"nic\nx", true},       {"nic/x", true},       {"-nic", true},
        {"n;touch " + marker, false}, {"abcdefghijklmnop", false}, {"", false},
        {"$(touch " + marker + ")", false}, {".", true}, {"..", true},
    };
    // The kernel takes some of these names: a device must not make them good.
    std::vector<std::string> in_kernel;
    for (const bad_name &bad : names)
        if (bad.name.size() < 16 && !bad.name.empty() && add_nic(bad.name)) in_kernel.push_back(bad.name);
    ASSERT_NE(std::find(in_kernel.begin(), in_kernel.end(), "nic9\"x"), in_kernel.end());
    ns::add_veth("nic9", "nic9p");

    const std::string registry = registry_text();
    const std::string files = ns::files_under("/etc");
    const std::string devices = ns::device_dump();
    kxtest::clear_log();

    for (const bad_name &bad : names) {
        const char *name = bad.name.c_str();
        SCOPED_TRACE(bad.name);
        EXPECT_EQ(kxnet_br_attach_CT("net-a", name), KXNET_ERR_INVALID);
        EXPECT_EQ(kxnet_br_attach_SL("net-a", name), KXNET_ERR_INVALID);
        EXPECT_EQ(kxnet_br_detach_CT(name), KXNET_ERR_INVALID);
        char vlan[16] = "untouched";
        EXPECT_EQ(kxnet_vlan_new(name, 5, vlan, sizeof vlan), KXNET_ERR_INVALID);
        EXPECT_STREQ(vlan, "untouched");
        EXPECT_EQ(kxnet_vlan_del(name), KXNET_ERR_INVALID);
        EXPECT_EQ(compat_kxnet_addr_set(name, "dhcp"), KXNET_ERR_INVALID);
        EXPECT_EQ(compat_kxnet_addr_set(name, "10.4.0.1/24"), KXNET_ERR_INVALID);
        if (bad.bridge_too) {
            char buffer[16] = {};
            std::strncpy(buffer, name, sizeof buffer - 1);
            EXPECT_EQ(kxnet_br_new("net-x", buffer), KXNET_ERR_INVALID);
        }
        // The log shows control bytes its own way; the others as given.
        if (!has_control_byte(bad.name)) {
            EXPECT_TRUE(logged("Invalid interface name \"" + bad.name + "\""));
        }
    }
    EXPECT_EQ(kxnet_br_attach_CT("net-a", nullptr), KXNET_ERR_INVALID);
    EXPECT_TRUE(logged("Invalid interface name \"(null)\""));

    EXPECT_EQ(registry_text(), registry);
    EXPECT_EQ(ns::files_under("/etc"), files);
    EXPECT_EQ(ns::device_dump(), devices);
    EXPECT_EQ(ns::bridge_ports(bridge), std::vector<std::string>{});
    EXPECT_FALSE(file_exists(marker));

    // A host stop and start brings back nothing another device could answer to.
    EXPECT_EQ(kxnet_destroy_devices(), KXNET_OK);
    EXPECT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(ns::master_of("nic9"), "");
}

TEST_F(NameRule, TheQueryStillListsADeviceOutsideTheRule) {
    ASSERT_TRUE(add_nic("nic9\"x"));
    std::unique_ptr<kxnetif_info_list, list_release> list(kxnet_get_info(KXNET_INFO_IPV4, nullptr));
    ASSERT_NE(list, nullptr);
    const kxnetif_info *found = nullptr;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item)
        if (std::strcmp((*item)->name, "nic9\"x") == 0 && (*item)->ctid == 0) found = *item;
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, KXNETIF_ETH);
}
