// The information query against real kernels: containers made with kxct,
// host devices of the test's namespace, held results across later queries,
// the release of records, and the lock the query does (not) take.
#include "kxnet_ct.h"

#include "frame/state.h"
#include "netinfo/selection.h"
#include "netinfo/store.h"
#include "registry/registry_file.h"

#include "ns_env.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <list>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using kxtest::ns::at;
using kxtest::ns::sh;

constexpr uint32_t all_flags = 0xffffffffu;

int kxct(const std::string &args) { return sh(kxtest::ns::binary_dir() + "/platform/kxct/kxct " + args); }

struct list_release {
    void operator()(kxnetif_info_list *list) const { EXPECT_EQ(kxnet_release_info(list), KXNET_OK); }
};
using result = std::unique_ptr<kxnetif_info_list, list_release>;

struct filter_release {
    void operator()(kxnet_filter *filter) const { kxnet_release_filter(filter); }
};

result query(uint32_t flags, int ctid_min, int ctid_max, int kinds = KXNETIF_ALL) {
    std::unique_ptr<kxnet_filter, filter_release> filter(
        kxnet_get_simple_filter(kinds, nullptr, nullptr, nullptr, ctid_min, ctid_max));
    return result(kxnet_get_info(flags, filter.get()));
}

std::vector<kxnetif_info *> records(const kxnetif_info_list *list) {
    std::vector<kxnetif_info *> found;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item) found.push_back(*item);
    return found;
}

std::vector<std::string> names(const kxnetif_info_list *list) {
    std::vector<std::string> found;
    for (kxnetif_info *r : records(list)) found.push_back(r->name + std::string("@") + std::to_string(r->ctid));
    return found;
}

// Names of the live store records of one container, oldest first.
std::vector<std::string> live_names(int ctid) {
    std::vector<std::string> found;
    for (const kx::iface_record &r : kx::store_live())
        if (r.ctid == ctid) found.insert(found.begin(), r.name);
    return found;
}

std::vector<std::string> addrs_of(const kxnetif_info *r) {
    std::vector<std::string> found;
    for (char **a = r->addrs; a != nullptr && *a != nullptr; ++a) found.push_back(*a);
    return found;
}

const kxnetif_info *named(const kxnetif_info_list *list, const std::string &name) {
    for (kxnetif_info *r : records(list))
        if (name == r->name) return r;
    return nullptr;
}

// Whether a store record of `records` is what `wanted` was handed out for.
bool in_list(const std::list<kx::iface_record> &records, const kxnetif_info *wanted) {
    for (const kx::iface_record &r : records)
        if (r.published == wanted) return true;
    return false;
}

// Runs a command inside a kxct container's network namespace.
int in_container(int ctid, const std::string &command) {
    return sh("nsenter --net=" + at("/run/netns/kxct" + std::to_string(ctid)) + " " + command);
}

class QueryTest : public NsTest {
protected:
    void TearDown() override {
        if (!kxtest::ns::available()) return;
        for (int ctid : started_) kxct("stop " + std::to_string(ctid) + " 2>/dev/null");
    }
    // A running container with one pair; its end inside is eth0.
    void start_container(int ctid, const std::string &start_args = "") {
        const std::string id = std::to_string(ctid);
        ASSERT_EQ(kxct("create " + id + " --veth veth" + id + ".0:net1"), 0);
        ASSERT_EQ(kxct("start " + id + " " + start_args), 0);
        started_.push_back(ctid);
    }

private:
    std::vector<int> started_;
};

TEST_F(QueryTest, ContainerInterfacesComeBackThroughThePipe) {
    start_container(101, "--addr eth0=10.1.1.2/24 --hwaddr eth0=02:00:00:00:00:01");
    ASSERT_EQ(kxct("create 102 --veth veth102.0"), 0) << "configured, never started";

    result only = query(KXNET_INFO_IPV4, 100, 102);
    ASSERT_TRUE(only);
    ASSERT_EQ(names(only.get()), std::vector<std::string>{"eth0@101"}) << "100 and 102 add nothing";
    const kxnetif_info *eth0 = only->items[0];
    EXPECT_EQ(eth0->type, KXNETIF_ETH);
    EXPECT_EQ(addrs_of(eth0), std::vector<std::string>{"10.1.1.2/24"});
    EXPECT_STREQ(eth0->hwaddr, "02:00:00:00:00:01");
    EXPECT_EQ(eth0->state, uint32_t{KXNETIF_STATE_UP});
    EXPECT_NE(eth0->flags & 0x1u, 0u);
    EXPECT_EQ(eth0->refcount, 1);
    EXPECT_TRUE(live_names(0).empty()) << "the host is not collected for [100, 102]";

    // Kinds by name, and a link without a hardware address.
    ASSERT_EQ(in_container(101, "ip link add vnic1 type veth peer name veth-x"), 0);
    ASSERT_EQ(in_container(101, "ip link set vnic1 down"), 0);
    ASSERT_EQ(in_container(101, "ip tuntap add tun0 mode tun"), 0);
    result kinds = query(0, 101, 101);
    ASSERT_TRUE(kinds);
    ASSERT_NE(named(kinds.get(), "vnic1"), nullptr);
    EXPECT_EQ(named(kinds.get(), "vnic1")->type, KXNETIF_VNIC);
    EXPECT_EQ(named(kinds.get(), "vnic1")->state, uint32_t{KXNETIF_STATE_DOWN});
    ASSERT_NE(named(kinds.get(), "veth-x"), nullptr);
    EXPECT_EQ(named(kinds.get(), "veth-x")->type, KXNETIF_ETH);
    const kxnetif_info *tun = named(kinds.get(), "tun0");
    ASSERT_NE(tun, nullptr);
    EXPECT_EQ(tun->type, KXNETIF_UNKNOWN);
    EXPECT_EQ(tun->hwaddr, nullptr);
    EXPECT_EQ(addrs_of(named(kinds.get(), "eth0")), std::vector<std::string>{}) << "no address flags";
    EXPECT_NE(named(kinds.get(), "eth0")->mask & KXNETIF_F_ADDRS, 0u);
}

TEST_F(QueryTest, RangeDecidesWhatIsCollected) {
    kxtest::ns::add_veth("ha", "hb");
    start_container(5);
    start_container(12);
    start_container(101);

    result host = query(all_flags, 0, 0);
    ASSERT_TRUE(host);
    auto host_names = names(host.get());
    std::sort(host_names.begin(), host_names.end());
    // Pair ends of the containers' own pairs live on the host too.
    for (const char *want : {"ha@0", "hb@0", "veth5.0@0", "veth12.0@0", "veth101.0@0"})
        EXPECT_NE(std::find(host_names.begin(), host_names.end(), want), host_names.end()) << want;
    EXPECT_EQ(std::find(host_names.begin(), host_names.end(), "lo@0"), host_names.end());
    // Container 101 is not dumped; the host's pair list alone names its end.
    for (const kx::iface_record &r : kx::store_live()) {
        if (r.ctid != 101) continue;
        EXPECT_EQ(r.type, KXNETIF_VETH) << r.name;
        EXPECT_STREQ(r.peer_name(), "veth101.0");
        EXPECT_FALSE(r.hwaddr) << "no link dump ran inside 101";
    }

    // Every id of a short range, running or not.
    result walked = query(0, 1, 12);
    ASSERT_TRUE(walked);
    EXPECT_EQ(names(walked.get()), (std::vector<std::string>{"eth0@12", "eth0@5"}));
    EXPECT_TRUE(live_names(101).empty()) << "101 is outside the walk";
    EXPECT_TRUE(live_names(0).empty()) << "the host is outside the walk";

    // A wider range lists the running containers; the filter picks from them.
    result listed = query(0, 1, 13);
    ASSERT_TRUE(listed);
    EXPECT_EQ(names(listed.get()), (std::vector<std::string>{"eth0@5", "eth0@12"}))
        << "the last one listed is collected first";
    EXPECT_EQ(live_names(101), std::vector<std::string>{"eth0"});
    EXPECT_FALSE(live_names(0).empty()) << "the platform lists the host as running";

    result everything(kxnet_get_info(all_flags, nullptr));
    ASSERT_TRUE(everything);
    auto all = names(everything.get());
    for (const char *want : {"eth0@5", "eth0@12", "eth0@101", "ha@0"})
        EXPECT_NE(std::find(all.begin(), all.end(), want), all.end()) << want;

    result at_the_top = query(all_flags, INT_MAX - 1, INT_MAX);
    ASSERT_TRUE(at_the_top) << "a range ending at the largest id ends";
    EXPECT_EQ(at_the_top->items[0], nullptr);
    result reversed = query(all_flags, 7, 3);
    ASSERT_TRUE(reversed);
    EXPECT_EQ(reversed->items[0], nullptr);
}

TEST_F(QueryTest, HeldResultsStayAsTheirQuerySawThem) {
    kxtest::ns::add_veth("ha", "hb");
    ASSERT_EQ(sh("ip addr add 10.9.0.1/24 dev ha"), 0);
    result first = query(KXNET_INFO_IPV4, 0, 0);
    ASSERT_TRUE(first);
    const kxnetif_info *old_ha = named(first.get(), "ha");
    ASSERT_NE(old_ha, nullptr);

    ASSERT_EQ(sh("ip addr add 10.9.1.1/24 dev ha && ip link set hb address 02:00:00:00:00:0b"), 0);
    result second = query(KXNET_INFO_IPV4, 0, 0);
    ASSERT_TRUE(second);
    result third = query(KXNET_INFO_IPV4, 0, 0);
    ASSERT_TRUE(third);

    EXPECT_EQ(addrs_of(old_ha), std::vector<std::string>{"10.9.0.1/24"});
    EXPECT_EQ(old_ha->stamp, -1) << "retired by the second query";
    EXPECT_EQ(addrs_of(named(second.get(), "ha")), (std::vector<std::string>{"10.9.0.1/24", "10.9.1.1/24"}));
    EXPECT_STRNE(named(first.get(), "hb")->hwaddr, "02:00:00:00:00:0b");
    EXPECT_STREQ(named(second.get(), "hb")->hwaddr, "02:00:00:00:00:0b");
    EXPECT_NE(named(second.get(), "ha"), named(third.get(), "ha"));

    const kxnetif_info *third_ha = named(third.get(), "ha");
    first.reset();
    EXPECT_FALSE(in_list(kx::store_retired(), old_ha));
    EXPECT_TRUE(in_list(kx::store_live(), third_ha));
    EXPECT_EQ(addrs_of(named(second.get(), "ha")).size(), 2u) << "the second result is untouched";
}

TEST_F(QueryTest, RecordHeldTwiceIsFreedAfterBothReleasesAndARetiringQuery) {
    kxtest::ns::add_veth("ha", "hb");
    result whole = query(0, 0, 0);
    ASSERT_TRUE(whole);
    ASSERT_EQ(kx::take_semaphore(), 0);
    kxnetif_info_list *again = kx::select_kxnetif_info(kx::records_in(0, 0, "ha"));
    kx::post_semaphore();
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(records(again).size(), 1u);
    kxnetif_info *ha = again->items[0];
    EXPECT_EQ(ha->refcount, 2);

    result next = query(0, 0, 0);
    ASSERT_TRUE(next);
    EXPECT_EQ(ha->stamp, -1);
    EXPECT_TRUE(in_list(kx::store_retired(), ha));
    whole.reset();
    EXPECT_EQ(ha->refcount, 1);
    EXPECT_TRUE(in_list(kx::store_retired(), ha)) << "still held once";
    EXPECT_EQ(kxnet_release_info(again), KXNET_OK);
    EXPECT_FALSE(in_list(kx::store_retired(), ha));

    // Released before any retiring query: the record stays live until one,
    // without a public form while no list holds it.
    next.reset();
    const kx::iface_record *live_hb = kx::find_iface("hb", 0, KXNETIF_ALL);
    ASSERT_NE(live_hb, nullptr);
    EXPECT_EQ(live_hb->holds, 0);
    EXPECT_EQ(live_hb->published, nullptr);
    result last = query(0, 0, 0);
    EXPECT_TRUE(kx::store_retired().empty());

    EXPECT_EQ(kxnet_release_info(nullptr), KXNET_OK);
}

// Nothing may leak across many queries; the sanitizer build checks at exit.
TEST_F(QueryTest, ThousandQueryAndReleaseCycles) {
    kxtest::ns::add_veth("ha", "hb");
    ASSERT_EQ(sh("ip addr add 10.9.0.1/24 dev ha && ip addr add fd00::1/64 dev hb"), 0);
    for (int i = 0; i < 1000; ++i) {
        kxnetif_info_list *list = kxnet_get_info(all_flags, nullptr);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(kxnet_release_info(list), KXNET_OK);
    }
    EXPECT_TRUE(kx::store_retired().empty());
    EXPECT_EQ(live_names(0).size(), 2u);
}

TEST_F(QueryTest, QueryDoesNotWaitForTheFileLock) {
    kxtest::ns::add_veth("ha", "hb");
    kxtest::make_dirs(at("/tmp"));
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(release[1]); // so the parent's close ends the read below
        int fd = open(at("/tmp/kxnetcfg.lck").c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
        char c = 'x';
        if (write(ready[1], &c, 1) != 1) _exit(1);
        (void)!read(release[0], &c, 1); // until the parent closes its end
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    result got = query(all_flags, 0, 0);
    EXPECT_TRUE(got);
    EXPECT_NE(named(got.get(), "ha"), nullptr);
    close(release[1]);
    close(ready[0]);
    int status = 0;
    EXPECT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(status, 0);
}

// The network id of a bridge comes from the bridge scan of the host phase.
TEST_F(QueryTest, BridgeOfANetworkId) {
    EXPECT_EQ(kxnet_get_bridge_by_networkid(nullptr), nullptr) << "no id names no bridge";
    kxtest::ns::add_bridge("br1");
    kxtest::make_dirs(at("/etc/kx"));
    kxtest::write_file(at("/etc/kx/kxnet.conf"), "VNID_br1=\"net1\"\nVNID_br2=\"net2\"\n");
    // No other call has loaded the registry, in this process or under a
    // caller's shared lock: both variants read it themselves.
    std::unique_ptr<char, decltype(&free)> known(kxnet_get_bridge_by_networkid("net1"), free);
    ASSERT_NE(known, nullptr);
    EXPECT_STREQ(known.get(), "br1");
    kxtest::write_file(at("/etc/kx/kxnet.conf"), "VNID_br1=\"net3\"\nVNID_br2=\"net2\"\n");
    ASSERT_EQ(kx::grab_shared_kxnetlock(0), 0);
    known.reset(kxnet_get_bridge_by_networkid_SL("net3"));
    kx::release_kxnetlock();
    ASSERT_NE(known, nullptr);
    EXPECT_STREQ(known.get(), "br1");
    kxtest::write_file(at("/etc/kx/kxnet.conf"), "VNID_br1=\"net1\"\nVNID_br2=\"net2\"\n");

    known.reset(kxnet_get_bridge_by_networkid("net1"));
    ASSERT_NE(known, nullptr);
    EXPECT_STREQ(known.get(), "br1");
    EXPECT_EQ(kxnet_get_bridge_by_networkid("net9"), nullptr) << "unknown to the registry";
    EXPECT_EQ(kxnet_get_bridge_by_networkid("net2"), nullptr) << "its bridge is absent";
    ASSERT_EQ(sh("ip link del br1"), 0);
    EXPECT_EQ(kxnet_get_bridge_by_networkid("net1"), nullptr) << "its bridge was removed";
}

} // namespace

namespace {

// Sets `address` on `device` with the classic ioctl: one fast change of the
// kernel's address list, which marks a dump running meanwhile interrupted.
void set_ipv4(int sock, const char *device, const char *address) {
    ifreq request{};
    std::strncpy(request.ifr_name, device, IFNAMSIZ - 1);
    auto *in = reinterpret_cast<sockaddr_in *>(&request.ifr_addr);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, address, &in->sin_addr);
    ioctl(sock, SIOCSIFADDR, &request);
}

} // namespace

// The kernel marks a dump interrupted when the addresses change while it
// runs; a snapshot taken then must still show every link, not a host
// without any.
TEST_F(QueryTest, AddressesChangingDuringTheDumpLeaveEveryLinkInTheSnapshot) {
    kxtest::ns::add_veth("ha", "hb");
    ASSERT_EQ(sh("ip link set hb up"), 0);
    // Enough addresses that the dump spans several datagrams: the kernel
    // checks for changes between them.
    std::string batch;
    for (int i = 0; i < 1000; ++i)
        batch += "addr add 10.8." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + "/32 dev ha\n";
    ASSERT_EQ(sh("printf '" + batch + "' | ip -b -"), 0);
    const pid_t flipper = fork();
    if (flipper == 0) {
        const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (;;) {
            set_ipv4(sock, "hb", "10.9.0.1");
            set_ipv4(sock, "hb", "10.9.0.2");
        }
    }
    int without_ha = 0;
    for (int i = 0; i < 100; ++i) {
        result snapshot = query(KXNET_INFO_IPV4, 0, 0);
        if (!snapshot || named(snapshot.get(), "ha") == nullptr) ++without_ha;
    }
    kill(flipper, SIGKILL);
    waitpid(flipper, nullptr, 0);
    EXPECT_EQ(without_ha, 0);
}
