// The container stand-in end to end: kxct makes real namespaces and pairs,
// and libkxctl answers for them as the host library asks.
#include "kxctl.h"
#include "ns_env.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using kxtest::ns::at;
using kxtest::ns::sh;

int kxct(const std::string &args) { return sh(kxtest::ns::binary_dir() + "/platform/kxct/kxct " + args); }

std::vector<uint32_t> ids_by_state(int selector) {
    std::unique_ptr<kxctl_env_ids, void (*)(kxctl_env_ids *)> ids(kxctl_alloc_env_ids(), kxctl_free_env_ids);
    int count = kxctl_get_env_ids_by_state(ids.get(), selector);
    EXPECT_GE(count, 0);
    EXPECT_EQ(count, ids->count);
    return std::vector<uint32_t>(ids->ids, ids->ids + ids->count);
}

std::string conf_path(uint32_t ctid) {
    char path[4096];
    EXPECT_EQ(kxctl_get_env_conf_path(ctid, path, sizeof path), 0);
    return path;
}

using conf_ptr = std::unique_ptr<kxctl_conf, void (*)(kxctl_conf *)>;
using param_ptr = std::unique_ptr<kxctl_env_param, void (*)(kxctl_env_param *)>;

param_ptr parsed_param(kxctl_conf *conf, uint32_t ctid) {
    EXPECT_EQ(kxctl_conf_parse(ctid, conf), 0);
    return param_ptr(kxctl_conf_get_env_param(conf), kxctl_free_env_param);
}

std::vector<std::string> veth_entries(const kxctl_env_param &param) {
    std::vector<std::string> entries;
    for (kxctl_link *link = param.veth_list->next; link != param.veth_list; link = link->next) {
        const kxctl_veth *veth = reinterpret_cast<const kxctl_veth *>(link);
        entries.push_back(std::string(veth->dev_name) + ":" + (veth->network ? veth->network : "-"));
    }
    return entries;
}

// What a function run in a container reports through the kept pipe.
struct probe {
    int out = -1;      // kept
    int unlisted = -1; // open in the caller, not kept
};

int report_links(void *arg) {
    const probe *p = static_cast<const probe *>(arg);
    std::string text;
    if (struct if_nameindex *links = if_nameindex()) {
        for (struct if_nameindex *entry = links; entry->if_index != 0; ++entry)
            text += std::string(entry->if_name) + "\n";
        if_freenameindex(links);
    }
    text += fcntl(p->unlisted, F_GETFD) < 0 && errno == EBADF ? "unlisted closed\n" : "unlisted open\n";
    if (write(p->out, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
    return 7;
}

int exit_with_arg(void *arg) { return *static_cast<int *>(arg); }

int sleep_long(void *) {
    for (int i = 0; i < 60; ++i) sleep(1);
    return 0;
}

// Blocks every signal it can and ignores the usual timers' ones: only
// SIGKILL ends it before its minute is up.
int sleep_deaf(void *) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    signal(SIGALRM, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    return sleep_long(nullptr);
}

// Runs report_links in ctid; its output and the child's wait status.
std::pair<std::string, int> run_report(uint32_t ctid) {
    int ends[2], other[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(other, O_CLOEXEC), 0);
    probe p{ends[1], other[0]};
    int keep[] = {ends[1], -1};
    int status = -1;
    int pid = kxctl_env_exec_fn_async(ctid, "/", report_links, &p, keep, 2, 0, &status);
    close(ends[1]);
    close(other[0]);
    close(other[1]);
    std::string text;
    char chunk[512];
    ssize_t got;
    while (pid > 0 && (got = read(ends[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
    close(ends[0]);
    EXPECT_EQ(status, 0);
    if (pid <= 0) return {"", -1};
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return {text, status};
}

class PlatformTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kxct("create 101 --veth kxh101a:net1,kxh101b"), 0);
        ASSERT_EQ(kxct("create 102 --veth kxh102:net2 --root " + at("/ct102")), 0);
    }
    // Leaves the sandbox as found, so the cases also run in one process.
    void TearDown() override {
        if (!kxtest::ns::available()) return;
        sh("for ct in 101 102; do " + kxtest::ns::binary_dir() + "/platform/kxct/kxct stop $ct 2>/dev/null; done");
        sh("ip link del kxh102 2>/dev/null; rm -rf " + at("/etc/kxctl") + " " + at("/proc/kx") + " " + at("/run/netns"));
    }
};

TEST_F(PlatformTest, StartAndStopKeepIdsAndPairListInStep) {
    EXPECT_EQ(ids_by_state(KXCTL_ENV_ALL), (std::vector<uint32_t>{101, 102}));
    EXPECT_EQ(ids_by_state(KXCTL_ENV_RUNNING), (std::vector<uint32_t>{0}));
    EXPECT_NE(kxct("create 101 --veth other"), 0) << "an existing container is not overwritten";

    ASSERT_EQ(kxct("start 101 --addr eth0=10.1.1.2/24 --hwaddr eth0=02:00:00:00:00:01"), 0);
    EXPECT_EQ(ids_by_state(KXCTL_ENV_RUNNING), (std::vector<uint32_t>{0, 101}));
    EXPECT_EQ(ids_by_state(KXCTL_ENV_ALL), (std::vector<uint32_t>{101, 102}));
    EXPECT_TRUE(kxtest::ns::device_exists("kxh101a"));
    EXPECT_TRUE(kxtest::ns::is_up("kxh101b"));
    std::string table = kxtest::read_file(at("/proc/kx/veth"));
    EXPECT_EQ(table.rfind("Version: 1.0\n", 0), 0u) << table;
    EXPECT_NE(table.find(" kxh101a 02:00:00:00:00:01 eth0 101\n"), std::string::npos) << table;
    EXPECT_NE(table.find(" kxh101b "), std::string::npos) << table;
    EXPECT_NE(table.find(" eth1 101\n"), std::string::npos) << table;
    EXPECT_NE(kxct("start 101"), 0) << "a running container is not started twice";
    EXPECT_NE(kxct("destroy 101"), 0) << "a running container is not destroyed";

    ASSERT_EQ(kxct("start 102"), 0);
    ASSERT_EQ(kxct("stop 101"), 0);
    EXPECT_EQ(ids_by_state(KXCTL_ENV_RUNNING), (std::vector<uint32_t>{0, 102}));
    EXPECT_FALSE(kxtest::ns::device_exists("kxh101a"));
    table = kxtest::read_file(at("/proc/kx/veth"));
    EXPECT_EQ(table.find(" 101\n"), std::string::npos) << table;
    EXPECT_NE(table.find(" kxh102 "), std::string::npos) << "other containers' pairs stay: " << table;
    EXPECT_NE(kxct("stop 101"), 0);

    ASSERT_EQ(kxct("destroy 101"), 0);
    EXPECT_EQ(ids_by_state(KXCTL_ENV_ALL), (std::vector<uint32_t>{102}));
    EXPECT_LT(kxctl_get_env_ids_by_state(nullptr, KXCTL_ENV_ALL), 0);
}

TEST_F(PlatformTest, FailedStartLeavesForeignDevicesAlone) {
    kxtest::ns::add_bridge("kxh102");
    EXPECT_NE(kxct("start 102"), 0) << "the host end's name is taken";
    EXPECT_TRUE(kxtest::ns::device_exists("kxh102")) << "a device kxct did not make is kept";
    EXPECT_EQ(ids_by_state(KXCTL_ENV_RUNNING), (std::vector<uint32_t>{0}));
    EXPECT_FALSE(kxtest::file_exists(at("/run/netns/kxct102")));
    EXPECT_NE(kxct("start 101 --addr eth0=not-an-address"), 0);
    EXPECT_FALSE(kxtest::ns::device_exists("kxh101a")) << "its own half-made pairs are removed";
    EXPECT_EQ(ids_by_state(KXCTL_ENV_RUNNING), (std::vector<uint32_t>{0}));
}

TEST_F(PlatformTest, IdsIgnoreFilesThatNameNoContainer) {
    for (const char *name : {"abc.conf", "0.conf", "0101.conf", "4294967296.conf", "103.conf.tmp", "104"})
        kxtest::write_file(at("/etc/kxctl/") + name, "");
    kxtest::write_file(at("/etc/kxctl/4294967295.conf"), "");
    EXPECT_EQ(ids_by_state(KXCTL_ENV_ALL), (std::vector<uint32_t>{101, 102, 4294967295u}));
    // A namespace file with no namespace on it is a stopped container.
    kxtest::make_dirs(at("/run/netns"));
    kxtest::write_file(at("/run/netns/kxct102"), "");
    EXPECT_EQ(ids_by_state(KXCTL_ENV_RUNNING), (std::vector<uint32_t>{0}));
    EXPECT_LT(kxctl_get_env_ids_by_state(nullptr, 2), 0);
    std::unique_ptr<kxctl_env_ids, void (*)(kxctl_env_ids *)> ids(kxctl_alloc_env_ids(), kxctl_free_env_ids);
    EXPECT_LT(kxctl_get_env_ids_by_state(ids.get(), 2), 0);
}

TEST_F(PlatformTest, ConfigurationReadsAndRewritesAtomically) {
    std::string path = conf_path(101);
    EXPECT_EQ(path, at("/etc/kxctl/101.conf"));
    char small[8];
    EXPECT_NE(kxctl_get_env_conf_path(101, small, sizeof small), 0) << "a cut path is refused";

    std::string text = kxtest::read_file(path);
    kxtest::write_file(path, "# container of the test\nOWNER=me\n" + text);
    {
        conf_ptr conf(kxctl_conf_open(path.c_str(), KXCTL_CONF_READ), kxctl_conf_close);
        ASSERT_TRUE(conf);
        param_ptr param = parsed_param(conf.get(), 101);
        ASSERT_TRUE(param);
        EXPECT_STREQ(param->root, at("/var/lib/kxct/101").c_str());
        EXPECT_EQ(veth_entries(*param), (std::vector<std::string>{"kxh101a:net1", "kxh101b:-"}));
        EXPECT_NE(kxctl_conf_set_env_param(conf.get(), param.get()), 0) << "a read handle is not for writing";
        EXPECT_NE(kxctl_conf_save(conf.get(), path.c_str()), 0);
    }

    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    conf_ptr conf(kxctl_conf_open(path.c_str(), KXCTL_CONF_WRITE), kxctl_conf_close);
    ASSERT_TRUE(conf);
    param_ptr param = parsed_param(conf.get(), 101);
    ASSERT_TRUE(param);
    kxctl_veth *first = reinterpret_cast<kxctl_veth *>(param->veth_list->next);
    free(first->network);
    first->network = strdup("net1\nROOT=/evil");
    EXPECT_NE(kxctl_conf_set_env_param(conf.get(), param.get()), 0) << "an id that would add a line is refused";
    free(first->network);
    first->network = strdup("renamed");
    ASSERT_EQ(kxctl_conf_set_env_param(conf.get(), param.get()), 0);
    ASSERT_EQ(kxctl_conf_save(conf.get(), path.c_str()), 0);

    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "the file is replaced, not written in place";
    EXPECT_EQ(kxtest::read_file(path), "# container of the test\nOWNER=me\nROOT=" + at("/var/lib/kxct/101") +
                                           "\nVETH=kxh101a renamed\nVETH=kxh101b\n");
    EXPECT_EQ(kxtest::list_dir(at("/etc/kxctl")).size(), 2u) << "no temporary file is left";
}

TEST_F(PlatformTest, ConfigurationFailuresAreReported) {
    EXPECT_EQ(kxctl_conf_open(conf_path(105).c_str(), KXCTL_CONF_READ), nullptr);
    std::string path = conf_path(102);
    for (const char *bad : {"VETH=\n", "VETH=kxh102 net 2\n", "VETH=averyverylongname0 net\n", "VETH=x bad\"id\n"}) {
        kxtest::write_file(path, std::string("ROOT=/r\n") + bad);
        conf_ptr conf(kxctl_conf_open(path.c_str(), KXCTL_CONF_READ), kxctl_conf_close);
        ASSERT_TRUE(conf);
        EXPECT_NE(kxctl_conf_parse(102, conf.get()), 0) << bad;
        EXPECT_EQ(kxctl_conf_get_env_param(conf.get()), nullptr) << bad;
    }
    kxtest::write_file(path, "OWNER=me\n");
    conf_ptr conf(kxctl_conf_open(path.c_str(), KXCTL_CONF_READ), kxctl_conf_close);
    param_ptr param = parsed_param(conf.get(), 102);
    ASSERT_TRUE(param);
    EXPECT_EQ(param->root, nullptr) << "no root configured";
    EXPECT_EQ(param->veth_list->next, param->veth_list) << "an empty list";
}

TEST(PlatformNetworkId, AcceptsOnlyShortPlainIds) {
    EXPECT_TRUE(kxctl_is_networkid_valid("net-1.a_B"));
    EXPECT_TRUE(kxctl_is_networkid_valid(std::string(63, 'n').c_str()));
    EXPECT_FALSE(kxctl_is_networkid_valid(std::string(64, 'n').c_str()));
    for (const char *bad : {"", "net 1", "net\"1", "net=1", "net\n", "net\x01", "n/1", "n\xc3\xa9"})
        EXPECT_FALSE(kxctl_is_networkid_valid(bad)) << bad;
    EXPECT_FALSE(kxctl_is_networkid_valid(nullptr));
}

TEST_F(PlatformTest, ExecRunsInsideTheContainerWithOnlyKeptDescriptors) {
    EXPECT_LT(run_report(101).second, 0) << "a stopped container runs nothing";
    ASSERT_EQ(kxct("start 101"), 0);
    auto [inside, status] = run_report(101);
    EXPECT_EQ(inside, "lo\neth0\neth1\nunlisted closed\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);

    auto [host, host_status] = run_report(0);
    EXPECT_NE(host.find("kxh101a\n"), std::string::npos) << host;
    EXPECT_EQ(host.find("eth0\n"), std::string::npos) << host;
    EXPECT_TRUE(WIFEXITED(host_status));
}

TEST_F(PlatformTest, ExecKillsAChildThatOutlivesItsTimeout) {
    ASSERT_EQ(kxct("start 102"), 0);
    for (kxctl_env_fn hangs : {sleep_long, sleep_deaf}) {
        int status = -1;
        int pid = kxctl_env_exec_fn_async(102, at("/ct102").c_str(), hangs, nullptr, nullptr, 1, 0, &status);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
    }
    // A child that ends in time keeps its own status.
    int status = -1, code = 4;
    int pid = kxctl_env_exec_fn_async(102, at("/ct102").c_str(), exit_with_arg, &code, nullptr, 1, 0, &status);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
}

TEST_F(PlatformTest, ExecWithoutTimeoutOrKeptDescriptors) {
    int status = -1, code = 3;
    EXPECT_LT(kxctl_env_exec_fn_async(0, nullptr, nullptr, nullptr, nullptr, 2, 0, &status), 0);
    int pid = kxctl_env_exec_fn_async(0, nullptr, exit_with_arg, &code, nullptr, 0, 0, &status);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(PlatformTest, NewConfigurationIsWrittenOnlyThroughAWriteHandle) {
    std::string path = conf_path(103);
    EXPECT_EQ(kxctl_conf_open(path.c_str(), KXCTL_CONF_READ), nullptr);
    conf_ptr conf(kxctl_conf_open(path.c_str(), KXCTL_CONF_WRITE), kxctl_conf_close);
    ASSERT_TRUE(conf);
    kxctl_env_param param{const_cast<char *>("/r"), nullptr};
    ASSERT_EQ(kxctl_conf_set_env_param(conf.get(), &param), 0) << "an absent list is no interfaces";
    EXPECT_NE(kxctl_conf_save(conf.get(), at("/missing/dir/103.conf").c_str()), 0);
    ASSERT_EQ(kxctl_conf_save(conf.get(), path.c_str()), 0);
    EXPECT_EQ(kxtest::read_file(path), "ROOT=/r\n");
    EXPECT_EQ(ids_by_state(KXCTL_ENV_ALL), (std::vector<uint32_t>{101, 102, 103}));
}

TEST_F(PlatformTest, ToolRefusesBadArguments) {
    for (const char *bad : {"create 0 --veth a", "create abc --veth a", "create 4294967296 --veth a",
                            "create 104 --veth a:bad=id", "create 104 --veth averyverylongname0",
                            "create 104 --veth", "create 104 --bogus x", "start 105", "stop 102 extra",
                            "start 102 --addr eth0", "frobnicate 102"})
        EXPECT_NE(kxct(std::string(bad) + " 2>/dev/null"), 0) << bad;
    EXPECT_FALSE(kxtest::file_exists(at("/etc/kxctl/104.conf")));
    EXPECT_EQ(kxct("--help >/dev/null"), 0);
    std::string listed = kxtest::ns::capture(kxtest::ns::binary_dir() + "/platform/kxct/kxct list");
    EXPECT_EQ(listed, "101 stopped " + at("/var/lib/kxct/101") + " kxh101a:net1 kxh101b\n102 stopped " +
                          at("/ct102") + " kxh102:net2");
}

} // namespace
