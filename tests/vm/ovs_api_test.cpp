// The library under a real Open vSwitch, through the exported calls only:
// networks as switch bridges, pair devices attached, moved and detached, a
// physical interface linked through the pair that /dev/kxctl makes, every
// undo of a half-built link, host stop and start, and the query's view.
#include "syscall_filter.h"
#include "kxnet_ct.h"
#include "ovs_env.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using kxtest::file_exists;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

using names = std::vector<std::string>;

int kxct(const std::string &args) { return ns::sh(ns::binary_dir() + "/platform/kxct/kxct " + args); }

std::string registry_text() {
    const std::string path = ns::at("/etc/kx/kxnet.conf");
    return file_exists(path) ? read_file(path) : "";
}

// The host record of `name` as the information query gives it.
struct seen_record {
    bool found = false;
    std::string bridge, network_id;
};

seen_record query_host(const char *name) {
    seen_record seen;
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, name, 0, 0);
    kxnetif_info_list *list = kxnet_get_info(0xffffffffu, filter);
    kxnet_release_filter(filter);
    if (list != nullptr && list->items[0] != nullptr) {
        seen.found = true;
        if (list->items[0]->bridge) seen.bridge = list->items[0]->bridge;
        if (list->items[0]->network_id) seen.network_id = list->items[0]->network_id;
    }
    kxnet_release_info(list);
    return seen;
}

std::string bridge_of_network(const char *network_id) {
    char *bridge = kxnet_get_bridge_by_networkid(network_id);
    std::string out = bridge != nullptr ? bridge : "";
    free(bridge);
    return out;
}

bool first_byte_fe(const std::string &device) { return ns::sysfs(device, "address").rfind("fe:", 0) == 0; }

// --- A refusal to bring one device up, the rest of the host untouched ---

// SIOCSIFFLAGS issued on this descriptor passes the filter: the handler
// re-issues the requests it lets through on it.
constexpr int passed_fd = 1000;
char refused_device[IFNAMSIZ];

#if defined(__x86_64__)
void on_sigsys(int, siginfo_t *, void *raw) {
    const int saved_errno = errno;
    greg_t *regs = static_cast<ucontext_t *>(raw)->uc_mcontext.gregs;
    auto *request = reinterpret_cast<ifreq *>(regs[REG_RDX]);
    if (std::strncmp(request->ifr_name, refused_device, IFNAMSIZ) == 0 && (request->ifr_flags & IFF_UP) != 0) {
        regs[REG_RAX] = -ENETDOWN;
    } else {
        dup2(static_cast<int>(regs[REG_RDI]), passed_fd);
        long result = syscall(SYS_ioctl, passed_fd, SIOCSIFFLAGS, request);
        regs[REG_RAX] = result < 0 ? -errno : result;
        close(passed_fd);
    }
    errno = saved_errno;
}

void refuse_bringing_up(const char *device) {
    std::strncpy(refused_device, device, IFNAMSIZ - 1);
    kxtest::trap_ioctls({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SIOCSIFFLAGS, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, passed_fd, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    }, on_sigsys);
}
#else
void refuse_bringing_up(const char *) { _exit(250); }
#endif

// kxnet_br_attach_CT in a child that cannot bring `device` up ("" none).
int attach_in_child(const char *network_id, const char *name, const char *device) {
    pid_t child = fork();
    if (child == 0) {
        if (*device != '\0') refuse_bringing_up(device);
        _exit(kxnet_br_attach_CT(network_id, name));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class OvsApi : public OvsKernel {
protected:
    void SetUp() override {
        OvsKernel::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        kxtest::make_dirs(ns::at("/etc/kx"));
        kxtest::make_dirs(ns::at("/dev"));
        kxtest::make_dirs(ns::at("/sbin"));
        std::filesystem::create_symlink("/sbin/ip", ns::at("/sbin/ip"));
        struct stat device {};
        if (stat("/dev/kxctl", &device) == 0 && S_ISCHR(device.st_mode)) {
            std::filesystem::create_symlink("/dev/kxctl", ns::at("/dev/kxctl"));
            have_kxctl_ = true;
        }
    }
    void TearDown() override {
        for (int ctid : started_) kxct("stop " + std::to_string(ctid) + " 2>/dev/null");
        OvsKernel::TearDown();
    }

    std::string new_network(const char *network_id) {
        char bridge[16] = "";
        EXPECT_EQ(kxnet_br_new(network_id, bridge), KXNET_OK);
        return bridge;
    }

    void start_container(int ctid, const std::string &host_end, const std::string &network_id) {
        const std::string id = std::to_string(ctid);
        ASSERT_EQ(kxct("create " + id + " --veth " + host_end + ":" + network_id), 0);
        ASSERT_EQ(kxct("start " + id), 0);
        started_.push_back(ctid);
    }

    // The test's physical interface d0, inside the switch bridge br-d0.
    void prepare_d0() {
        ASSERT_EQ(ns::sh("ip link add d0 type dummy && ip link set d0 up"), 0);
        ASSERT_EQ(ns::sh(std::string(vsctl) + " add-br br-d0 -- add-port br-d0 d0"), 0);
    }

    // Every port of the switch is a device, and no pair device of d0 is left.
    void expect_no_leftovers() {
        for (const std::string &port :
             vsctl_lines("--format=csv --data=bare --no-headings --columns=name list Port"))
            EXPECT_TRUE(ns::device_exists(port)) << "stale port " << port;
        EXPECT_EQ(ns::capture(std::string(vsctl) + " show").find("No such device"), std::string::npos);
        EXPECT_FALSE(ns::device_exists("veth-d0.0"));
        EXPECT_FALSE(ns::device_exists("veth-d0.1"));
    }

    // Every switch bridge with its ports, and every device's line.
    std::string host_picture() {
        std::string picture;
        for (const std::string &bridge : vsctl_lines("list-br")) {
            picture += bridge + ":";
            for (const std::string &port : ports(bridge)) picture += " " + port;
            picture += "\n";
        }
        return picture + ns::device_dump();
    }

    bool have_kxctl_ = false;

private:
    std::vector<int> started_;
};

#define SKIP_WITHOUT_KXCTL() \
    if (!have_kxctl_) GTEST_SKIP() << "no /dev/kxctl in this guest (kxctl-cuse not built)"

} // namespace

TEST_F(OvsApi, NetworksAreSwitchBridgesUnlessALinuxBridgeIsThere) {
    const std::string br = new_network("net-a");
    EXPECT_EQ(ns::sh(std::string(vsctl) + " br-exists " + br), 0);
    EXPECT_TRUE(ns::is_up(br));
    EXPECT_EQ(bridge_of_network("net-a"), br) << "the query sees the switch's bridge";
    EXPECT_EQ(query_host(br.c_str()).network_id, "net-a");

    ASSERT_EQ(kxnet_br_del("net-a"), KXNET_OK);
    EXPECT_NE(ns::sh(std::string(vsctl) + " br-exists " + br), 0);
    EXPECT_FALSE(ns::device_exists(br));
    EXPECT_EQ(bridge_of_network("net-a"), "");

    // Registered over an existing Linux bridge: its ports go by ioctl.
    ns::add_bridge("lnx");
    ASSERT_EQ(kxnet_br_new("lnx", nullptr), KXNET_OK);
    start_container(101, "vh101", "lnx");
    ASSERT_EQ(kxnet_br_attach_CT("lnx", "vh101"), KXNET_OK);
    EXPECT_EQ(ns::bridge_ports("lnx"), names{"vh101"});
    EXPECT_EQ(vsctl_lines("list-br"), names{});
    ASSERT_EQ(kxnet_br_detach_CT("vh101"), KXNET_OK);
    EXPECT_TRUE(ns::bridge_ports("lnx").empty());
    ASSERT_EQ(kxnet_br_del("lnx"), KXNET_OK);
    EXPECT_TRUE(ns::device_exists("lnx"));
}

TEST_F(OvsApi, PairDeviceMovesBetweenSwitchBridgesAndLeaves) {
    const std::string a = new_network("net-a");
    const std::string b = new_network("net-b");
    start_container(101, "vh101", "net-a");

    ASSERT_EQ(kxnet_br_attach_CT("net-a", "vh101"), KXNET_OK);
    EXPECT_EQ(ports(a), names{"vh101"});
    EXPECT_TRUE(ns::is_up("vh101"));
    seen_record seen = query_host("vh101");
    EXPECT_EQ(seen.bridge, a);
    EXPECT_EQ(seen.network_id, "net-a");

    ASSERT_EQ(kxnet_br_attach_CT("net-b", "vh101"), KXNET_OK);
    EXPECT_EQ(ports(a), names{});
    EXPECT_EQ(ports(b), names{"vh101"});
    EXPECT_TRUE(ns::is_up("vh101"));
    EXPECT_EQ(query_host("vh101").bridge, b);

    ASSERT_EQ(kxnet_br_detach_CT("vh101"), KXNET_OK);
    EXPECT_EQ(ports(b), names{});
    EXPECT_FALSE(ns::is_up("vh101"));
    EXPECT_EQ(ns::master_of("vh101"), "");
    seen = query_host("vh101");
    EXPECT_TRUE(seen.found);
    EXPECT_EQ(seen.bridge, "");
    EXPECT_EQ(seen.network_id, "");
    expect_no_leftovers();
}

TEST_F(OvsApi, PhysicalInterfaceIsLinkedThroughAPairAndTakenApart) {
    SKIP_WITHOUT_KXCTL();
    prepare_d0();
    const std::string a = new_network("net-a");

    ASSERT_EQ(kxnet_br_attach_CT("net-a", "d0"), KXNET_OK);
    EXPECT_EQ(ports("br-d0"), (names{"d0", "veth-d0.0"}));
    EXPECT_EQ(ports(a), names{"veth-d0.1"});
    for (const char *end : {"veth-d0.0", "veth-d0.1"}) {
        EXPECT_TRUE(ns::is_up(end)) << end;
        EXPECT_TRUE(first_byte_fe(end)) << end;
    }
    EXPECT_NE(registry_text().find("\"d0\""), std::string::npos) << registry_text();
    EXPECT_EQ(kxnet_br_attach_CT("net-a", "d0"), KXNET_ERR_EXISTS) << "the network has its uplink";

    ASSERT_EQ(kxnet_br_detach_CT("d0"), KXNET_OK);
    EXPECT_EQ(ports("br-d0"), names{"d0"});
    EXPECT_EQ(ports(a), names{});
    EXPECT_EQ(registry_text().find("\"d0\""), std::string::npos);
    expect_no_leftovers();

    // Linked again, the query shows d0 in the network that holds veth-d0.1
    // once br-d0 is a network too; then the network goes with its link.
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "d0"), KXNET_OK);
    write_file(ns::at("/etc/kx/kxnet.conf"), registry_text() + "VNID_br-d0=\"uplink-d0\"\n");
    seen_record d0 = query_host("d0");
    EXPECT_EQ(d0.network_id, "net-a");
    EXPECT_EQ(d0.bridge, a);
    seen_record second_end = query_host("veth-d0.1");
    EXPECT_EQ(second_end.network_id, "net-a");
    EXPECT_EQ(second_end.bridge, a);
    EXPECT_EQ(query_host("veth-d0.0").bridge, "br-d0");
    EXPECT_EQ(bridge_of_network("net-a"), a);

    ASSERT_EQ(kxnet_br_del("net-a"), KXNET_OK);
    EXPECT_NE(ns::sh(std::string(vsctl) + " br-exists " + a), 0);
    EXPECT_EQ(ports("br-d0"), names{"d0"});
    expect_no_leftovers();
}

// Each step of the link that can fail: the port adds refused by the switch,
// and each end refusing to come up.
struct undo_case {
    const char *name;
    bool switch_bridge_of_d0; // br-d0 is there
    bool network_bridge;      // the network's bridge is still in the switch
    const char *stays_down;   // the end that cannot be brought up ("" none)
};

void PrintTo(const undo_case &c, std::ostream *out) { *out << c.name; }

class OvsUndo : public OvsApi, public ::testing::WithParamInterface<undo_case> {};

TEST_P(OvsUndo, HalfBuiltLinkLeavesNoDeviceAndNoPort) {
    SKIP_WITHOUT_KXCTL();
    const undo_case &c = GetParam();
    if (*c.stays_down != '\0' && !kxtest::syscall_filter_supported) GTEST_SKIP() << "the refusal is written for x86-64";
    if (c.switch_bridge_of_d0) {
        prepare_d0();
    } else {
        ASSERT_EQ(ns::sh("ip link add d0 type dummy && ip link set d0 up"), 0);
    }
    const std::string a = new_network("net-a");
    if (!c.network_bridge) {
        // The switch forgets the bridge but a device of its name stays, so
        // the attach gets as far as the switch refusing the second add.
        ASSERT_EQ(ns::sh(std::string(vsctl) + " del-br " + a + " && ip link add " + a + " type dummy"), 0);
    }
    const std::string registry = registry_text();

    EXPECT_EQ(attach_in_child("net-a", "d0", c.stays_down), KXNET_ERR_SYSTEM);
    expect_no_leftovers();
    if (c.switch_bridge_of_d0) {
        EXPECT_EQ(ports("br-d0"), names{"d0"});
    }
    if (c.network_bridge) {
        EXPECT_EQ(ports(a), names{});
    }
    EXPECT_EQ(registry_text(), registry);
}

INSTANTIATE_TEST_SUITE_P(Steps, OvsUndo,
                         ::testing::Values(undo_case{"FirstAddRefused", false, true, ""},
                                           undo_case{"FirstEndStaysDown", true, true, "veth-d0.0"},
                                           undo_case{"SecondAddRefused", true, false, ""},
                                           undo_case{"SecondEndStaysDown", true, true, "veth-d0.1"}),
                         [](const ::testing::TestParamInfo<undo_case> &info) { return std::string(info.param.name); });

TEST_F(OvsApi, HostStopAndStartBringTheSameSwitchBack) {
    SKIP_WITHOUT_KXCTL();
    prepare_d0();
    const std::string a = new_network("net-a");
    const std::string b = new_network("net-b");
    start_container(101, "vh101", "net-a");
    start_container(102, "vh102", "net-b");
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "vh101"), KXNET_OK);
    ASSERT_EQ(kxnet_br_attach_CT("net-b", "vh102"), KXNET_OK);
    ASSERT_EQ(kxnet_br_attach_CT("net-a", "d0"), KXNET_OK);
    const std::string before = host_picture();
    ASSERT_NE(before.find(a + ": veth-d0.1 vh101\n"), std::string::npos) << before;
    ASSERT_NE(before.find(b + ": vh102\n"), std::string::npos) << before;
    const std::string registry = registry_text();

    ASSERT_EQ(kxnet_destroy_devices(), KXNET_OK);
    EXPECT_EQ(vsctl_lines("list-br"), names{"br-d0"});
    EXPECT_EQ(ports("br-d0"), names{"d0"});
    expect_no_leftovers();

    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(host_picture(), before);
    EXPECT_EQ(registry_text(), registry);
    EXPECT_EQ(query_host("vh102").network_id, "net-b");

    // On a live host whose network bridge an administrator deleted, the
    // pair of the physical interface still stands: host start links it again.
    ASSERT_EQ(ns::sh(std::string(vsctl) + " del-br " + a), 0);
    ASSERT_EQ(kxnet_init_devices(), KXNET_OK);
    EXPECT_EQ(host_picture(), before);
}
