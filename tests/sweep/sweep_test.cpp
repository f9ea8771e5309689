// The allocation-failure sweep: every exported operation runs once for each
// allocation it makes, with that allocation failing (alloc_fail.h), from the
// first until the call completes without reaching the failure.  After every
// step the process must be alive, the result one the operation documents,
// the host lock and the control socket given back, a following framed call
// must succeed without blocking, the registry must be its old or its new
// content byte for byte with no temporary file beside it, and (under the
// sanitizers) nothing may have leaked.
//
// One table entry per operation: a new export is swept by adding a row to
// `sweep_cases` with its call, the results it may give, the lock a caller of
// an _SL body holds, and an optional state check.  Every step starts from the
// same world: bridge br0 with port sw-eth0 registered as network "net-a".
#include "alloc_fail.h"
#include "devices/bridge_device.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <linux/sockios.h>
#include <net/if.h>
#include <semaphore.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KXSWEEP_LEAK_CHECK 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define KXSWEEP_LEAK_CHECK 1
#endif
#ifdef KXSWEEP_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace ns = kxtest::ns;

namespace {

// Pointer results of a call, in the same space as result codes.
constexpr int pointer_result = 0;
constexpr int null_result = -1;

const char *const registered_text = "VNID_br0=\"net-a\"\nIFLST_br0=\"sw-eth0\"\n";

// ---- The world every step starts from ------------------------------------

int ctl_sock() {
    static int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return sock;
}

void set_flags(const std::string &name, bool up) {
    struct ifreq request {};
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name.c_str());
    if (ioctl(ctl_sock(), SIOCGIFFLAGS, &request) != 0) return;
    if (up)
        request.ifr_flags |= IFF_UP;
    else
        request.ifr_flags &= ~IFF_UP;
    ioctl(ctl_sock(), SIOCSIFFLAGS, &request);
}

void delete_bridge(const std::string &name) {
    set_flags(name, false);
    char field[IFNAMSIZ] = {};
    std::snprintf(field, sizeof field, "%s", name.c_str());
    ioctl(ctl_sock(), SIOCBRDELBR, field);
}

std::string master_of(const std::string &device) {
    char target[PATH_MAX] = {};
    const std::string link = "/sys/class/net/" + device + "/master";
    if (readlink(link.c_str(), target, sizeof target - 1) <= 0) return "";
    const char *slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

std::vector<std::string> bridges() {
    std::vector<std::string> found;
    for (const std::string &name : kxtest::list_dir("/sys/class/net"))
        if (kxtest::file_exists("/sys/class/net/" + name + "/bridge")) found.push_back(name);
    return found;
}

void make_registered_bridge() {
    if (!ns::device_exists("br0")) {
        char field[IFNAMSIZ] = "br0";
        ioctl(ctl_sock(), SIOCBRADDBR, field);
    }
    set_flags("br0", true);
    if (master_of("sw-eth0") != "br0") {
        struct ifreq request {};
        std::snprintf(request.ifr_name, IFNAMSIZ, "br0");
        request.ifr_ifindex = static_cast<int>(if_nametoindex("sw-eth0"));
        ioctl(ctl_sock(), SIOCBRADDIF, &request);
    }
}

// The host end of a container's pair, as the container kernel lists it, in
// no bridge: what attach moves into a network.
void make_free_pair_device() {
    if (master_of("sw-vh1").empty()) return;
    struct ifreq request {};
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", master_of("sw-vh1").c_str());
    request.ifr_ifindex = static_cast<int>(if_nametoindex("sw-vh1"));
    ioctl(ctl_sock(), SIOCBRDELIF, &request);
}

void clear_dir(const std::string &dir) {
    for (const std::string &name : kxtest::list_dir(dir)) unlink((dir + "/" + name).c_str());
}

std::string registry_path() { return ns::at("/etc/kx/kxnet.conf"); }

std::string registry_text() {
    return kxtest::file_exists(registry_path()) ? kxtest::read_file(registry_path()) : "<none>";
}

void reset_world() {
    for (const std::string &name : bridges())
        if (name != "br0") delete_bridge(name);
    make_registered_bridge();
    make_free_pair_device();
    clear_dir(ns::at("/etc/kx"));
    kxtest::write_file(registry_path(), registered_text, 0600);
    clear_dir(ns::at("/etc/sysconfig/network-scripts"));
    kx::set_last_bridge_index(-1);
    // ifdown and ifup of a DHCP restart, found first on the shell's PATH.
    for (const char *tool : {"/usr/sbin/ifdown", "/usr/sbin/ifup"})
        if (!kxtest::file_exists(ns::at(tool))) kxtest::write_file(ns::at(tool), "#!/bin/sh\nexit 0\n", 0755);
    // As after any earlier call of the process: the bridge query reads the
    // registry held in memory.
    kx::registry_load();
    kxtest::clear_log();
}

// ---- The operations ------------------------------------------------------

enum class hold { none, exclusive, shared, semaphore };

struct sweep_case {
    const char *name;
    hold lock;                  // held around the call, as a caller of an _SL body does
    int (*call)();              // the exported call, the only armed part of a step
    std::vector<int> accepted;  // results it may give; the first is the complete call's
    void (*check)(int result);  // the state after the call (unarmed), releases results
};

void PrintTo(const sweep_case &c, std::ostream *out) { *out << c.name; }

char new_bridge[IFNAMSIZ];

int new_network() {
    new_bridge[0] = '\0';
    return kxnet_br_new("net-b", new_bridge);
}

int new_network_SL() {
    new_bridge[0] = '\0';
    return kxnet_br_new_SL("net-b", new_bridge);
}

// A created network's bridge is up and named back; a failed one leaves none.
void check_new_network(int result) {
    if (result == KXNET_OK) {
        EXPECT_STREQ(new_bridge, "br1");
        EXPECT_TRUE(ns::is_up("br1"));
    } else {
        EXPECT_STREQ(new_bridge, "") << "a failed creation names no bridge";
        EXPECT_FALSE(ns::device_exists("br1")) << "a failed creation leaves its bridge";
    }
}

int delete_network() { return kxnet_br_del("net-a"); }
int delete_network_SL() { return kxnet_br_del_SL("net-a"); }

void check_delete_network(int result) {
    if (result == KXNET_OK) { EXPECT_FALSE(ns::device_exists("br0")); }
}

int rename_network() { return kxnet_br_change("net-a", "net-c"); }
int rename_network_SL() { return kxnet_br_change_SL("net-a", "net-c"); }

kxnet_network_list *networks;

int configured_networks() {
    networks = kxnet_get_configured_networks();
    return networks != nullptr ? pointer_result : null_result;
}

// A list handed out is the registry's whole content, never a part of it.
void check_configured_networks(int) {
    if (networks == nullptr) return;
    std::vector<std::string> seen;
    for (kxnet_link *l = networks->link.next; l != &networks->link; l = l->next) {
        auto *network = reinterpret_cast<kxnet_network *>(l);
        seen.push_back(std::string(network->network_id) + " " + network->bridge + " " +
                       network->phys_iface);
        EXPECT_EQ(network->ifaces.next, &network->ifaces);
    }
    EXPECT_EQ(seen, std::vector<std::string>{"net-a br0 sw-eth0"});
    kxnet_free_networks(networks);
    free(networks);
    networks = nullptr;
}

kxnet_filter *filter;

int simple_filter() {
    filter = kxnet_get_simple_filter(KXNETIF_ETH, "br0", "net-a", "sw-eth0", 0, 5);
    return filter != nullptr ? pointer_result : null_result;
}

// A filter handed out selects exactly what was asked, never more.
void check_simple_filter(int) {
    if (filter == nullptr) return;
    EXPECT_EQ(filter->type_mask, uint32_t{KXNETIF_ETH});
    EXPECT_STREQ(filter->bridge, "br0");
    EXPECT_STREQ(filter->network_id, "net-a");
    EXPECT_STREQ(filter->name, "sw-eth0");
    EXPECT_EQ(filter->ctid_min, 0);
    EXPECT_EQ(filter->ctid_max, 5);
    kxnet_release_filter(filter);
    filter = nullptr;
}

kxnetif_info_list *info;
char port_name[] = "sw-eth0";
const kxnet_filter port_filter{KXNETIF_ALL, nullptr, nullptr, port_name, 0, 0};

int all_info() {
    info = kxnet_get_info(0xffffffffu, nullptr);
    return info != nullptr ? pointer_result : null_result;
}

int port_info_SL() {
    info = kxnet_get_info_SL(0xffffffffu, &port_filter);
    return info != nullptr ? pointer_result : null_result;
}

// Records of a result are whole; the filtered one selects its port only.
void check_info(int, bool filtered) {
    if (info == nullptr) return;
    for (kxnetif_info **item = info->items; *item != nullptr; ++item) {
        ASSERT_NE((*item)->name, nullptr);
        EXPECT_GE((*item)->refcount, 1);
        if (filtered) { EXPECT_STREQ((*item)->name, "sw-eth0"); }
    }
}

void check_all_info(int result) {
    check_info(result, false);
    EXPECT_EQ(kxnet_release_info(info), KXNET_OK);
    info = nullptr;
}

void check_port_info_SL(int result) {
    check_info(result, true);
    kxnet_release_info_SL(info);
    info = nullptr;
}

char *bridge_name;

int bridge_by_id() {
    bridge_name = kxnet_get_bridge_by_networkid("net-a");
    return bridge_name != nullptr ? pointer_result : null_result;
}

int bridge_by_id_SL() {
    bridge_name = kxnet_get_bridge_by_networkid_SL("net-a");
    return bridge_name != nullptr ? pointer_result : null_result;
}

void check_bridge_by_id(int) {
    if (bridge_name != nullptr) { EXPECT_STREQ(bridge_name, "br0"); }
    free(bridge_name);
    bridge_name = nullptr;
}

char vlan_name[IFNAMSIZ];

// This kernel has no 802.1Q: the creation runs up to the kernel's refusal and
// undoes its ifcfg file and registry entry.
int new_vlan() {
    set_flags("sw-eth0", true);
    vlan_name[0] = '\0';
    return kxnet_vlan_new("sw-eth0", 5, vlan_name, sizeof vlan_name);
}

int new_vlan_SL() {
    set_flags("sw-eth0", true);
    vlan_name[0] = '\0';
    return kxnet_vlan_new_SL("sw-eth0", 5, vlan_name, sizeof vlan_name);
}

void check_new_vlan(int) {
    EXPECT_EQ(kxtest::list_dir(ns::at("/etc/sysconfig/network-scripts")), std::vector<std::string>{})
        << "an ifcfg file or its temporary stayed";
}

int init_devices() { return kxnet_init_devices(); }
int destroy_devices() { return kxnet_destroy_devices(); }

void check_init_devices(int result) {
    if (result == KXNET_OK) {
        EXPECT_TRUE(ns::is_up("br0"));
        EXPECT_EQ(master_of("sw-eth0"), "br0");
    }
}

void check_destroy_devices(int result) {
    if (result == KXNET_OK) { EXPECT_FALSE(ns::device_exists("br0")); }
}

int attach_pair() { return kxnet_br_attach("net-a", "sw-vh1"); }
int attach_pair_SL() { return kxnet_br_attach_SL("net-a", "sw-vh1"); }

void check_attach_pair(int result) {
    if (result == KXNET_OK) {
        EXPECT_EQ(master_of("sw-vh1"), "br0");
        EXPECT_TRUE(ns::is_up("sw-vh1"));
    }
}

int detach_uplink() { return kxnet_br_detach("sw-eth0"); }
int detach_uplink_SL() { return kxnet_br_detach_SL("sw-eth0"); }

void check_detach_uplink(int result) {
    if (result == KXNET_OK) { EXPECT_EQ(master_of("sw-eth0"), ""); }
}

// Each step starts without the address, so the complete call adds it anew.
int set_address() {
    return compat_kxnet_addr_set("sw-eth0", "10.9.9.9/24");
}

int set_address_SL() { return compat_kxnet_addr_set_SL("sw-eth0", "10.9.9.9/24"); }

// The restart runs the shell through the child facility.
int set_dhcp() { return compat_kxnet_addr_set("sw-eth0", "dhcp"); }

void check_set_dhcp(int result) {
    if (result == KXNET_OK) { EXPECT_NE(registry_text().find("ADDR_sw-eth0=\"dhcp\""), std::string::npos); }
}

void check_set_address(int result) {
    const std::string shown = ns::capture("ip -4 -o addr show dev sw-eth0");
    if (result == KXNET_OK) { EXPECT_NE(shown.find("10.9.9.9/24"), std::string::npos); }
    ns::sh("ip addr flush dev sw-eth0");
}

const sweep_case sweep_cases[] = {
    {"br_new", hold::none, new_network, {KXNET_OK, KXNET_ERR_SYSTEM}, check_new_network},
    {"br_new_SL", hold::exclusive, new_network_SL, {KXNET_OK, KXNET_ERR_SYSTEM}, check_new_network},
    {"br_del", hold::none, delete_network, {KXNET_OK, KXNET_ERR_SYSTEM}, check_delete_network},
    {"br_del_SL", hold::exclusive, delete_network_SL, {KXNET_OK, KXNET_ERR_SYSTEM},
     check_delete_network},
    {"br_change", hold::none, rename_network, {KXNET_OK, KXNET_ERR_SYSTEM}, nullptr},
    {"br_change_SL", hold::exclusive, rename_network_SL, {KXNET_OK, KXNET_ERR_SYSTEM}, nullptr},
    {"get_configured_networks", hold::none, configured_networks, {pointer_result, null_result},
     check_configured_networks},
    {"get_simple_filter", hold::none, simple_filter, {pointer_result, null_result},
     check_simple_filter},
    {"get_info", hold::none, all_info, {pointer_result, null_result}, check_all_info},
    {"get_info_SL", hold::semaphore, port_info_SL, {pointer_result, null_result},
     check_port_info_SL},
    {"get_bridge_by_networkid", hold::none, bridge_by_id, {pointer_result, null_result},
     check_bridge_by_id},
    {"get_bridge_by_networkid_SL", hold::shared, bridge_by_id_SL, {pointer_result, null_result},
     check_bridge_by_id},
    {"br_attach", hold::none, attach_pair, {KXNET_OK, KXNET_ERR_SYSTEM, KXNET_ERR_NOT_FOUND},
     check_attach_pair},
    {"br_attach_SL", hold::exclusive, attach_pair_SL,
     {KXNET_OK, KXNET_ERR_SYSTEM, KXNET_ERR_NOT_FOUND}, check_attach_pair},
    {"br_detach", hold::none, detach_uplink, {KXNET_OK, KXNET_ERR_SYSTEM, KXNET_ERR_NOT_FOUND},
     check_detach_uplink},
    {"br_detach_SL", hold::exclusive, detach_uplink_SL,
     {KXNET_OK, KXNET_ERR_SYSTEM, KXNET_ERR_NOT_FOUND}, check_detach_uplink},
    {"addr_set", hold::none, set_address, {KXNET_OK, KXNET_ERR_SYSTEM}, check_set_address},
    {"addr_set_SL", hold::exclusive, set_address_SL, {KXNET_OK, KXNET_ERR_SYSTEM},
     check_set_address},
    {"addr_set_dhcp", hold::none, set_dhcp, {KXNET_OK, KXNET_ERR_SYSTEM}, check_set_dhcp},
    {"vlan_new", hold::none, new_vlan, {KXNET_ERR_INVALID, KXNET_ERR_SYSTEM}, check_new_vlan},
    {"vlan_new_SL", hold::exclusive, new_vlan_SL, {KXNET_ERR_INVALID, KXNET_ERR_SYSTEM}, check_new_vlan},
    {"init_devices", hold::none, init_devices, {KXNET_OK, KXNET_ERR_SYSTEM}, check_init_devices},
    {"destroy_devices", hold::none, destroy_devices, {KXNET_OK, KXNET_ERR_SYSTEM},
     check_destroy_devices},
};

// ---- One step ------------------------------------------------------------

void take_lock(hold lock) {
    int code = 0;
    if (lock == hold::exclusive) code = kx::grab_excl_kxnetlock();
    if (lock == hold::shared) code = kx::grab_shared_kxnetlock(0);
    if (lock == hold::semaphore) code = kx::grab_shared_kxnetlock(1);
    ASSERT_EQ(code, 0);
}

void give_lock(hold lock) {
    if (lock != hold::none) kx::release_kxnetlock();
}

struct step_outcome {
    int result;
    bool failed_an_allocation;
    uint64_t allocations;
};

step_outcome run_step(const sweep_case &c, uint64_t fail_at) {
    take_lock(c.lock);
    step_outcome out{};
    {
        kxsweep::armed armed(fail_at);
        out.result = c.call();
        out.failed_an_allocation = kxsweep::disarm();
        out.allocations = kxsweep::counted();
    }
    if (c.check != nullptr) c.check(out.result);
    give_lock(c.lock);
    return out;
}

char blocked_note[160];

void on_blocked(int) {
    ssize_t ignored = write(STDERR_FILENO, blocked_note, std::strlen(blocked_note));
    (void)ignored;
    _exit(3);
}

// Nothing of the host lock or the control socket stays taken.
void expect_lock_given_back() {
    int count = -1;
    sem_getvalue(&kx::state().lock_sem, &count);
    EXPECT_EQ(count, 1) << "the process semaphore";
    EXPECT_EQ(kx::state().lock_fd, -1);
    EXPECT_EQ(kx::ctl_socket_holders(), 0) << "the control socket";
    const std::string path = ns::at("/tmp/kxnetcfg.lck");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the lock file";
    close(fd);
}

// A framed call after the step runs and does not block.
void expect_next_call_succeeds(const char *name, uint64_t fail_at) {
    std::snprintf(blocked_note, sizeof blocked_note,
                  "\nsweep %s: the call after failing allocation %llu blocked\n", name,
                  static_cast<unsigned long long>(fail_at));
    signal(SIGALRM, on_blocked);
    alarm(20);
    kxnet_network_list *list = kxnet_get_configured_networks();
    alarm(0);
    ASSERT_NE(list, nullptr);
    kxnet_free_networks(list);
    free(list);
}

class Sweep : public LibraryTest, public ::testing::WithParamInterface<sweep_case> {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (stopped()) return;
        if (!ns::device_exists("sw-eth0")) ns::add_veth("sw-eth0", "sw-peer0");
        if (!ns::device_exists("sw-vh1")) ns::add_veth("sw-vh1", "sw-vp1");
        kxtest::make_dirs(ns::at("/proc/kx"));
        kxtest::write_file(ns::at("/proc/kx/veth"), "Version: 1.0\n1 sw-vh1 2 eth0 101\n");
    }
};

TEST_P(Sweep, EveryAllocationFails) {
    const sweep_case &c = GetParam();
    reset_world();
    const std::string old_registry = registry_text();
    const step_outcome complete = run_step(c, UINT64_MAX);
    ASSERT_EQ(complete.result, c.accepted.front()) << "the call without failures";
    const std::string new_registry = registry_text();
    ASSERT_GT(complete.allocations, 0u);

    uint64_t fail_at = 1;
    for (;; ++fail_at) {
        SCOPED_TRACE(std::string(c.name) + ": allocation " + std::to_string(fail_at) + " fails");
        reset_world();
        const step_outcome step = run_step(c, fail_at);
        EXPECT_NE(std::find(c.accepted.begin(), c.accepted.end(), step.result), c.accepted.end())
            << "result " << step.result;
        if (!step.failed_an_allocation) { EXPECT_EQ(step.result, c.accepted.front()); }
        const std::string registry = registry_text();
        EXPECT_TRUE(registry == old_registry || registry == new_registry) << registry;
        EXPECT_EQ(kxtest::list_dir(ns::at("/etc/kx")), std::vector<std::string>{"kxnet.conf"});
        expect_lock_given_back();
        expect_next_call_succeeds(c.name, fail_at);
#ifdef KXSWEEP_LEAK_CHECK
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "leaked";
#endif
        if (HasFailure() || !step.failed_an_allocation || fail_at > 100000) break;
    }
    EXPECT_FALSE(HasFailure());
    std::printf("sweep %s: %llu steps, %llu allocations in the complete call\n", c.name,
                static_cast<unsigned long long>(fail_at),
                static_cast<unsigned long long>(complete.allocations));
}

INSTANTIATE_TEST_SUITE_P(Exports, Sweep, ::testing::ValuesIn(sweep_cases),
                         [](const ::testing::TestParamInfo<sweep_case> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
