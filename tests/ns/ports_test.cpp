// Bridge ports on real bridges and veths, the via-physical-device switch, and
// the Open vSwitch link through recording stand-ins for ovs-vsctl and ip.
// Requests a stock kernel lacks (the switch command, the pair creation) are
// answered in a child process by a seccomp trap that records them.
#include "devices/ports.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"
#include "sys/device_probe.h"
#include "syscall_filter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <linux/sockios.h>
#include <net/if.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using kxtest::log_messages;
using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

constexpr unsigned long pair_create_request = 0x40405b03;

bool logged(const std::string &message) {
    auto messages = log_messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

bool logged_prefix(const std::string &prefix) {
    for (const auto &message : log_messages())
        if (message.rfind(prefix, 0) == 0) return true;
    return false;
}

// --- The trap: what the container kernel would answer, recorded. ---

struct trapped_request {
    unsigned long request;
    uint64_t words[4];        // bridge command block (SIOCDEVPRIVATE)
    unsigned char record[64]; // pair creation record
};

int trap_fd = -1;
std::vector<int32_t> legacy_ports; // the answer to the port-list command

#if defined(__x86_64__)
void on_sigsys(int, siginfo_t *, void *raw) {
    greg_t *regs = static_cast<ucontext_t *>(raw)->uc_mcontext.gregs;
    trapped_request seen{};
    seen.request = static_cast<unsigned long>(regs[REG_RSI]);
    void *argument = reinterpret_cast<void *>(regs[REG_RDX]);
    long result = 0;
    if (seen.request == SIOCDEVPRIVATE) {
        auto *block = reinterpret_cast<uint64_t *>(static_cast<ifreq *>(argument)->ifr_data);
        std::memcpy(seen.words, block, sizeof seen.words);
        if (block[0] == 7) {
            std::memcpy(reinterpret_cast<void *>(block[1]), legacy_ports.data(), legacy_ports.size() * 4);
            result = static_cast<long>(legacy_ports.size());
        }
    } else {
        std::memcpy(seen.record, argument, sizeof seen.record);
    }
    (void)!write(trap_fd, &seen, sizeof seen);
    regs[REG_RAX] = result;
}

void install_trap() {
    kxtest::trap_ioctls({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SIOCDEVPRIVATE, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, pair_create_request, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    }, on_sigsys);
}
#else
void install_trap() { _exit(250); }
#endif

#define SKIP_WITHOUT_TRAP() \
    if (!kxtest::syscall_filter_supported) GTEST_SKIP() << "the ioctl trap is written for x86-64"

struct trapped_run {
    int result = -1;
    std::vector<trapped_request> requests;
};

// Runs `body` in a child under the trap; its result and the trapped requests.
trapped_run run_trapped(const std::function<int()> &body) {
    trapped_run run;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return run;
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        trap_fd = pipe_fds[1];
        install_trap();
        _exit(body());
    }
    close(pipe_fds[1]);
    trapped_request seen{};
    while (read(pipe_fds[0], &seen, sizeof seen) == static_cast<ssize_t>(sizeof seen))
        run.requests.push_back(seen);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// --- Recording stand-ins for /usr/bin/ovs-vsctl and /sbin/ip. ---

// The script appends "$0 [arg]..." to ${root}/calls and exits with the line of
// <tool>.status whose number is its own call count (0 when missing).  It runs
// with an empty environment, so it names every file by its full path.
void install_recorder(const std::string &documented) {
    const std::string root = ns::root();
    const std::string statuses = root + documented + ".status";
    write_file(ns::at(documented),
               "#!/bin/sh\n"
               "n=1\n"
               "if [ -f " + root + "/calls ]; then\n"
               "  while read -r l; do case \"$l\" in \"$0 \"*) n=$((n+1));; esac; done < " + root + "/calls\n"
               "fi\n"
               "line=\"$0\"; for a in \"$@\"; do line=\"$line [$a]\"; done\n"
               "echo \"$line\" >> " + root + "/calls\n"
               "s=0; i=0\n"
               "if [ -f " + statuses + " ]; then\n"
               "  while read -r v; do i=$((i+1)); [ $i -eq $n ] && s=$v; done < " + statuses + "\n"
               "fi\n"
               "exit $s\n",
               0755);
}

void set_statuses(const std::string &documented, const std::string &lines) {
    write_file(ns::at(documented) + ".status", lines);
}

std::vector<std::string> calls() {
    std::vector<std::string> lines;
    std::string all = read_file(ns::at("/calls"));
    size_t start = 0, end;
    while ((end = all.find('\n', start)) != std::string::npos) {
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string ovs(const std::string &args) { return ns::at("/usr/bin/ovs-vsctl") + " " + args; }
std::string ip(const std::string &args) { return ns::at("/sbin/ip") + " " + args; }

std::string via_phys_dev_fixture(const std::string &bridge) {
    return ns::at("/sys/class/net/" + bridge + "/bridge/via_phys_dev");
}

class PortsTest : public LibraryTest {};

class OvsPortsTest : public PortsTest {
protected:
    void SetUp() override {
        PortsTest::SetUp();
        if (IsSkipped()) return;
        kx::state().ovs_enabled = 1;
        install_recorder("/usr/bin/ovs-vsctl");
        install_recorder("/sbin/ip");
    }
};

void collect_port(const char *bridge, const char *port, void *context) {
    static_cast<std::vector<std::string> *>(context)->push_back(std::string(bridge) + ":" + port);
}

int32_t int_at(const unsigned char *record, size_t offset) {
    int32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

std::vector<uint64_t> words_of(const trapped_request &request) {
    return {request.words, request.words + 4};
}

int link_eth1() { return kx::bridge_add_port("netbr", "eth1", true, false); }

} // namespace

// --- Linux bridge ---

TEST_F(PortsTest, VethJoinsAndLeavesARealBridge) {
    ns::add_bridge("br0");
    ns::add_veth("v0", "v0p");
    ASSERT_EQ(kx::bridge_add_port("br0", "v0", false, false), 0);
    EXPECT_EQ(ns::bridge_ports("br0"), std::vector<std::string>{"v0"});
    EXPECT_TRUE(logged("Device 'v0' is added to the bridge 'br0'."));

    EXPECT_EQ(kx::bridge_remove_port("br0", "v0", KXNETIF_VETH), 0);
    EXPECT_TRUE(ns::bridge_ports("br0").empty());
    EXPECT_EQ(kx::bridge_remove_port("br0", "v0", KXNETIF_VETH), -EINVAL);
    EXPECT_EQ(kx::bridge_remove_port("br0", "ghost", KXNETIF_VNIC), -ENOENT);
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}

TEST_F(PortsTest, MissingDeviceIsLoggedAndAnswersZero) {
    ns::add_bridge("br0");
    EXPECT_EQ(kx::bridge_add_port("br0", "ghost", false, false), 0);
    EXPECT_TRUE(logged("Failed to add device 'ghost' to the bridge 'br0': index not found"));
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}

TEST_F(PortsTest, HostInterfaceRefusedWhenTheSwitchCannotBeSet) {
    ns::add_bridge("br0");
    ns::add_veth("v0", "v0p");
    EXPECT_LT(kx::bridge_add_port("br0", "v0", true, false), 0);
    EXPECT_TRUE(ns::bridge_ports("br0").empty());
    EXPECT_FALSE(logged_prefix("Failed to add device 'v0' to the bridge 'br0', errno"));
    EXPECT_FALSE(logged("Device 'v0' is added to the bridge 'br0'."));
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}

TEST_F(PortsTest, SwitchFixtureIsSetAndRestoredAroundAFailedAdd) {
    ns::add_bridge("br0");
    ns::add_bridge("other");
    ns::add_veth("v0", "v0p");
    ASSERT_EQ(kx::bridge_add_port("other", "v0", false, false), 0);
    write_file(via_phys_dev_fixture("br0"), "0");

    // v0 is busy in the other bridge: "1" is written, then the old "0" again.
    EXPECT_EQ(kx::bridge_add_port("br0", "v0", true, false), -EBUSY);
    EXPECT_EQ(read_file(via_phys_dev_fixture("br0")), "010");
    EXPECT_TRUE(logged("Failed to add device 'v0' to the bridge 'br0', errno = 16"));
    EXPECT_TRUE(ns::bridge_ports("br0").empty());
}

TEST_F(PortsTest, SwitchFixtureReportsThePreviousValue) {
    ns::add_bridge("br0");
    ns::add_veth("v0", "v0p");
    write_file(via_phys_dev_fixture("br0"), "1\n");
    std::optional<int> previous;
    EXPECT_GE(kx::set_via_phys_dev("br0", false, &previous), 0);
    EXPECT_EQ(previous, 1);

    // A host interface switches it on; its removal switches it off.
    write_file(via_phys_dev_fixture("br0"), "0");
    ASSERT_EQ(kx::bridge_add_port("br0", "v0", true, false), 0);
    EXPECT_EQ(read_file(via_phys_dev_fixture("br0")), "01");
    EXPECT_EQ(kx::bridge_remove_port("br0", "v0", KXNETIF_ETH), 0);
    EXPECT_EQ(read_file(via_phys_dev_fixture("br0")), "010");
    EXPECT_TRUE(ns::bridge_ports("br0").empty());
}

TEST_F(PortsTest, FallbackSwitchIsUsedWithoutTheAttribute) {
    SKIP_WITHOUT_TRAP();
    ns::add_bridge("br0");
    ns::add_veth("v0", "v0p");
    trapped_run run = run_trapped([] {
        if (kx::bridge_add_port("br0", "v0", true, false) != 0) return 1;
        return kx::bridge_remove_port("br0", "v0", KXNETIF_VNIC);
    });
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.requests.size(), 2u);
    EXPECT_EQ(run.requests[0].request, static_cast<unsigned long>(SIOCDEVPRIVATE));
    EXPECT_EQ(words_of(run.requests[0]), (std::vector<uint64_t>{19, 1, 0, 0}));
    EXPECT_EQ(words_of(run.requests[1]), (std::vector<uint64_t>{19, 0, 0, 0}));
}

TEST_F(PortsTest, FailedAddAfterFallbackLeavesTheUnknownSwitchAlone) {
    SKIP_WITHOUT_TRAP();
    ns::add_bridge("br0");
    ns::add_bridge("other");
    ns::add_veth("v0", "v0p");
    ASSERT_EQ(kx::bridge_add_port("other", "v0", false, false), 0);
    trapped_run run = run_trapped([] { return kx::bridge_add_port("br0", "v0", true, false) < 0 ? 1 : 0; });
    EXPECT_EQ(run.result, 1);
    // Only the switch-on request: no guessed value is written back.
    ASSERT_EQ(run.requests.size(), 1u);
    EXPECT_EQ(words_of(run.requests[0]), (std::vector<uint64_t>{19, 1, 0, 0}));
    EXPECT_TRUE(logged("Previous via_phys_dev of the bridge 'br0' is unknown, left unchanged"));
}

TEST_F(PortsTest, RemovingAPairDeviceBringsItDownEvenWhenRemovalFails) {
    ns::add_bridge("br0");
    ns::add_veth("v0", "v0p");
    ns::set_up("v0");
    EXPECT_LT(kx::bridge_remove_port("br0", "v0", KXNETIF_VETH), 0);
    EXPECT_FALSE(ns::is_up("v0"));
}

TEST_F(PortsTest, BridgePortsAreListedInNameOrder) {
    ns::add_bridge("br0");
    for (std::string name : {"vc", "va", "vb"}) {
        ns::add_veth(name, name + "p");
        ASSERT_EQ(kx::bridge_add_port("br0", name.c_str(), false, false), 0);
    }
    std::vector<std::string> seen;
    kx::for_each_bridge_port("br0", collect_port, &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"br0:va", "br0:vb", "br0:vc"}));

    seen.clear();
    kx::for_each_bridge_port("nobr", collect_port, &seen);
    kx::for_each_bridge_port("va", collect_port, &seen);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}

TEST_F(PortsTest, LegacyPortListIsUsedWithoutTheBrifDirectory) {
    SKIP_WITHOUT_TRAP();
    ns::add_veth("va", "vap");
    legacy_ports = {static_cast<int32_t>(if_nametoindex("vap")), 99999,
                    static_cast<int32_t>(if_nametoindex("va"))};
    trapped_run run = run_trapped([] {
        std::vector<std::string> seen;
        kx::for_each_bridge_port("nobr", collect_port, &seen);
        std::string joined;
        for (const auto &name : seen) joined += name + ",";
        write_file(ns::at("/walk"), joined);
        return 0;
    });
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.requests.size(), 1u);
    EXPECT_EQ(run.requests[0].words[0], 7u);
    EXPECT_EQ(run.requests[0].words[2], 1024u);
    EXPECT_EQ(read_file(ns::at("/walk")), "nobr:vap,nobr:va,");
}

// --- Open vSwitch ---

TEST_F(OvsPortsTest, PlainDeviceIsAddedWithOvsVsctl) {
    set_statuses("/usr/bin/ovs-vsctl", "0\n19\n1\n");
    EXPECT_EQ(kx::bridge_add_port("netbr", "v0", false, false), 0);
    EXPECT_EQ(kx::bridge_add_port("netbr", "v1", false, false), 0);
    EXPECT_TRUE(logged("Failed to add device 'v1' to the bridge 'netbr', err = 19"));
    EXPECT_EQ(kx::bridge_add_port("netbr", "v2", false, false), -EIO);
    EXPECT_EQ(calls(), (std::vector<std::string>{ovs("[--] [--may-exist] [add-port] [netbr] [v0]"),
                                                  ovs("[--] [--may-exist] [add-port] [netbr] [v1]"),
                                                  ovs("[--] [--may-exist] [add-port] [netbr] [v2]")}));

    // A preexisting Linux bridge keeps the ioctl path.
    ns::add_bridge("br0");
    ns::add_veth("v3", "v3p");
    EXPECT_EQ(kx::bridge_add_port("br0", "v3", false, true), 0);
    EXPECT_EQ(ns::bridge_ports("br0"), std::vector<std::string>{"v3"});
    EXPECT_EQ(calls().size(), 3u);
}

TEST_F(OvsPortsTest, KernelWithoutPairRequestRefusesTheHostInterface) {
    EXPECT_LT(link_eth1(), 0);
    EXPECT_TRUE(logged("Failed to open /dev/kxctl: err=2"));
    write_file(ns::at("/dev/kxctl"), ""); // a regular file answers ENOTTY
    EXPECT_LT(link_eth1(), 0);
    EXPECT_TRUE(logged("veth feature is not supported by the kernel"));
    EXPECT_TRUE(calls().empty());
}

TEST_F(OvsPortsTest, HostInterfaceIsLinkedThroughAPair) {
    SKIP_WITHOUT_TRAP();
    write_file(ns::at("/dev/kxctl"), "");
    ns::add_veth("veth-eth1.0", "veth-eth1.1"); // what the pair request makes
    trapped_run run = run_trapped(link_eth1);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(calls(), (std::vector<std::string>{ovs("[--] [--if-exists] [del-port] [br-eth1] [veth-eth1.0]"),
                                                  ovs("[--] [--may-exist] [add-port] [br-eth1] [veth-eth1.0]"),
                                                  ovs("[--] [--may-exist] [add-port] [netbr] [veth-eth1.1]")}));
    EXPECT_TRUE(ns::is_up("veth-eth1.0"));
    EXPECT_TRUE(ns::is_up("veth-eth1.1"));

    ASSERT_EQ(run.requests.size(), 1u);
    EXPECT_EQ(run.requests[0].request, pair_create_request);
    const unsigned char *record = run.requests[0].record;
    EXPECT_EQ(int_at(record, 0), 0);
    EXPECT_EQ(int_at(record, 4), 1);
    EXPECT_EQ(record[8], 0xfe);
    EXPECT_EQ(record[14] | record[15] | record[42] | record[43], 0);
    EXPECT_EQ(int_at(record, 16), 6);
    EXPECT_STREQ(reinterpret_cast<const char *>(record + 20), "veth-eth1.0");
    EXPECT_EQ(record[36], 0xfe);
    EXPECT_EQ(int_at(record, 44), 6);
    EXPECT_STREQ(reinterpret_cast<const char *>(record + 48), "veth-eth1.1");
}

// A link that fails at any step is taken apart in reverse order.
struct undo_case {
    const char *name;
    const char *peer;     // the pair the kernel made: veth-eth1.0 and this ("" none)
    const char *statuses; // of ovs-vsctl, one per call
    const char *log_line; // "" when only the tool's failure is logged
    std::vector<std::string> switch_calls; // of ovs-vsctl, in order; "ip" stands for the pair's deletion
};

// The switch requests of the link, as the recorder writes them.
const std::string clear_first = "[--] [--if-exists] [del-port] [br-eth1] [veth-eth1.0]";
const std::string add_first = "[--] [--may-exist] [add-port] [br-eth1] [veth-eth1.0]";
const std::string add_second = "[--] [--may-exist] [add-port] [netbr] [veth-eth1.1]";

void PrintTo(const undo_case &c, std::ostream *out) { *out << c.name; }

class OvsUndoTest : public OvsPortsTest, public ::testing::WithParamInterface<undo_case> {};

TEST_P(OvsUndoTest, HalfBuiltLinkIsTakenApart) {
    SKIP_WITHOUT_TRAP();
    const undo_case &c = GetParam();
    write_file(ns::at("/dev/kxctl"), "");
    if (*c.peer != '\0') ns::add_veth("veth-eth1.0", c.peer);
    set_statuses("/usr/bin/ovs-vsctl", c.statuses);
    EXPECT_NE(run_trapped(link_eth1).result, 0);
    if (*c.log_line != '\0') {
        EXPECT_TRUE(logged(c.log_line));
    }
    std::vector<std::string> expected;
    for (const std::string &call : c.switch_calls) expected.push_back(ovs(call));
    expected.push_back(ip("[link] [delete] [veth-eth1.0]"));
    EXPECT_EQ(calls(), expected);
    // Removing the first end from br-eth1 brings it down again.
    if (*c.peer != '\0') {
        EXPECT_FALSE(ns::is_up("veth-eth1.0"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OvsUndoTest,
    // A port already in the switch leaves it again through del-port; a
    // device that is missing cannot be brought down, so no request follows.
    ::testing::Values(undo_case{"FirstAddFails", "veth-eth1.1", "0\n1\n", "", {clear_first, add_first}},
                      undo_case{"FirstEndStaysDown", "", "", "Failed to set device 'veth-eth1.0' up", {add_first}},
                      undo_case{"SecondAddFails", "veth-eth1.1", "0\n0\n1\n", "",
                                {clear_first, add_first, add_second, clear_first}},
                      undo_case{"SecondEndStaysDown", "elsewhere", "", "Failed to set device 'veth-eth1.1' up",
                                {clear_first, add_first, add_second, clear_first}}),
    [](const ::testing::TestParamInfo<undo_case> &info) { return std::string(info.param.name); });

TEST_F(OvsPortsTest, HostInterfaceRemovalDestroysThePair) {
    set_statuses("/sbin/ip", "0\n2\n");
    EXPECT_EQ(kx::bridge_remove_port("netbr", "eth1", KXNETIF_ETH), 0);
    EXPECT_EQ(kx::ovs_unlink_phys("netbr", "eth1"), -EIO);
    EXPECT_TRUE(logged("Failed to destroy the virtual pair device 'veth-eth1.0', err = 2"));
    EXPECT_EQ(calls(), (std::vector<std::string>{ip("[link] [delete] [veth-eth1.0]"),
                                                  ip("[link] [delete] [veth-eth1.0]")}));
}

// A port leaves the switch's database, but a Linux bridge by the kernel's
// request, also while the switch is active.
TEST_F(OvsPortsTest, RemovalFollowsWhatTheBridgeIs) {
    ns::add_veth("v0", "v0p");
    ns::set_up("v0");
    set_statuses("/usr/bin/ovs-vsctl", "0\n0\n1\n");
    EXPECT_EQ(kx::bridge_remove_port("sw0", "v0", KXNETIF_VETH), 0);
    EXPECT_FALSE(ns::is_up("v0")) << "a pair device is brought down first";
    EXPECT_EQ(kx::bridge_remove_port("sw0", "v0", KXNETIF_VNIC), 0);
    EXPECT_EQ(kx::bridge_remove_port("sw0", "v0", KXNETIF_VNIC), -EIO);
    EXPECT_TRUE(logged("Failed to remove device 'v0' from the bridge 'sw0', err = 1"));
    EXPECT_EQ(calls(), (std::vector<std::string>{ovs("[--] [--if-exists] [del-port] [sw0] [v0]"),
                                                  ovs("[--] [--if-exists] [del-port] [sw0] [v0]"),
                                                  ovs("[--] [--if-exists] [del-port] [sw0] [v0]")}));

    // A network over an existing Linux bridge: its ports, its uplink too.
    ns::add_bridge("br0");
    ns::add_veth("eth3", "eth3p");
    write_file(via_phys_dev_fixture("br0"), "0");
    ASSERT_EQ(kx::bridge_add_port("br0", "v0", false, true), 0);
    ASSERT_EQ(kx::bridge_add_port("br0", "eth3", true, true), 0);
    ASSERT_EQ(ns::bridge_ports("br0"), (std::vector<std::string>{"eth3", "v0"}));
    EXPECT_EQ(kx::bridge_remove_port("br0", "v0", KXNETIF_VETH), 0);
    EXPECT_EQ(kx::bridge_remove_port("br0", "eth3", KXNETIF_ETH), 0);
    EXPECT_TRUE(ns::bridge_ports("br0").empty());
    EXPECT_EQ(read_file(via_phys_dev_fixture("br0")), "010");
    EXPECT_EQ(calls().size(), 3u) << "neither the switch nor ip is asked";
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}
