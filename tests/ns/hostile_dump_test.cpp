// A container's dump child is not trusted.  The test binary interposes the
// container library's exec call (its definition wins over libkxctl.so.1's):
// for the containers a test names it starts, as the platform does, a plain
// forked child, which writes what the test chooses instead of the dump.  The
// query must return, hold bounded memory, log the container, leave nothing
// of it in the result and no child behind, and still report the others.
#include "kxnet_ct.h"

#include "kxctl.h"
#include "netinfo/container_collector.h"

#include "ns_env.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

enum class writes { endless_line, endless_groups, grandchild_keeps_pipe, lingers_after_closing };

std::map<uint32_t, writes> hostile;

// Pids of grandchildren the hostile children leave, shared with them so the
// test can end them.
struct left_behind {
    pid_t pids[8];
    int count;
};
left_behind *strays = nullptr;

void write_all(int fd, const char *text, std::size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, text, size);
        if (put <= 0) _exit(1);
        text += put;
        size -= static_cast<std::size_t>(put);
    }
}

[[noreturn]] void run_hostile(writes what, int fd) {
    static const char group[] = "eth0\n10.9.9.9/24\n02:00:00:00:00:09\n1\n";
    // Ends a child the library failed to end, so the test itself ends.
    alarm(60);
    switch (what) {
    case writes::endless_line: {
        char line[65536];
        std::memset(line, 'a', sizeof line);
        for (;;) write_all(fd, line, sizeof line);
    }
    case writes::endless_groups: {
        char text[64];
        for (unsigned n = 0;; ++n) {
            const int size = std::snprintf(text, sizeof text, "eth%u\n\n\n1\n", n);
            write_all(fd, text, static_cast<std::size_t>(size));
        }
    }
    case writes::grandchild_keeps_pipe: {
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            alarm(60);
            pause();
            _exit(0);
        }
        if (grandchild > 0) strays->pids[__atomic_fetch_add(&strays->count, 1, __ATOMIC_SEQ_CST)] = grandchild;
        write_all(fd, group, sizeof group - 1);
        _exit(0);
    }
    case writes::lingers_after_closing:
        write_all(fd, group, sizeof group - 1);
        close(fd);
        // The platform's own timer would end it; here nothing does but the
        // library.
        pause();
        _exit(0);
    }
    _exit(0);
}

} // namespace

extern "C" int kxctl_env_exec_fn_async(uint32_t ctid, const char *root, kxctl_env_fn fn, void *arg, int *keep_fds,
                                       int timeout, int flags, int *status) {
    using exec_fn = int (*)(uint32_t, const char *, kxctl_env_fn, void *, int *, int, int, int *);
    static auto real = reinterpret_cast<exec_fn>(dlsym(RTLD_NEXT, "kxctl_env_exec_fn_async"));
    const auto found = hostile.find(ctid);
    if (found == hostile.end()) return real(ctid, root, fn, arg, keep_fds, timeout, flags, status);
    if (status != nullptr) *status = 0;
    const pid_t child = fork();
    if (child == 0) run_hostile(found->second, keep_fds[0]);
    return child;
}

namespace {

int kxct(const std::string &args) {
    return kxtest::ns::sh(kxtest::ns::binary_dir() + "/platform/kxct/kxct " + args);
}

struct list_release {
    void operator()(kxnetif_info_list *list) const { kxnet_release_info(list); }
};
struct filter_release {
    void operator()(kxnet_filter *filter) const { kxnet_release_filter(filter); }
};

std::vector<std::string> names(const kxnetif_info_list *list) {
    std::vector<std::string> found;
    for (kxnetif_info **item = list->items; *item != nullptr; ++item)
        found.push_back((*item)->name + std::string("@") + std::to_string((*item)->ctid));
    std::sort(found.begin(), found.end());
    return found;
}

long peak_resident_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// True when this process has a child that ended and was not reaped.
bool zombie_left() {
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT | __WALL) != 0) return false;
    return info.si_pid != 0;
}

bool logged(const std::string &line) {
    for (const std::string &message : kxtest::log_messages())
        if (message == line) return true;
    return false;
}

class HostileDumpTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        void *page = mmap(nullptr, sizeof(left_behind), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        strays = static_cast<left_behind *>(page);
        for (int ctid : {301, 302, 303}) {
            const std::string id = std::to_string(ctid);
            ASSERT_EQ(kxct("create " + id + " --veth veth" + id + ".0:net1"), 0);
            ASSERT_EQ(kxct("start " + id + " --addr eth0=10.3.0." + std::to_string(ctid - 300) + "/24"), 0);
            started_.push_back(ctid);
        }
        kxtest::clear_log();
    }
    void TearDown() override {
        hostile.clear();
        if (strays != nullptr) {
            for (int i = 0; i < strays->count; ++i) kill(strays->pids[i], SIGKILL);
            munmap(strays, sizeof(left_behind));
            strays = nullptr;
        }
        for (int ctid : started_) kxct("stop " + std::to_string(ctid) + " 2>/dev/null");
    }

private:
    std::vector<int> started_;
};

TEST_F(HostileDumpTest, AHostileChildIsEndedAndItsContainerReportsNothing) {
    const std::string records = std::to_string(kx::dump_records_max);
    const std::string bytes = std::to_string(kx::dump_bytes_max);
    const std::string deadline = std::to_string(kx::dump_deadline_seconds);
    const struct {
        const char *name;
        writes what;
        std::string line;
        std::vector<std::string> found;
    } cases[] = {
        {"one endless line", writes::endless_line, "container 302: dump passed " + bytes + " bytes, not reported",
         {"eth0@301", "eth0@303"}},
        {"endless well-formed groups", writes::endless_groups,
         "container 302: dump passed " + records + " interfaces, not reported", {"eth0@301", "eth0@303"}},
        {"a grandchild keeps the write end", writes::grandchild_keeps_pipe,
         "container 302: dump did not end within " + deadline + " seconds, not reported",
         {"eth0@301", "eth0@303"}},
        // Its output ended whole: reported, and the child is killed at the
        // deadline instead of being waited for.
        {"the child lingers after closing its end", writes::lingers_after_closing, "",
         {"eth0@301", "eth0@302", "eth0@303"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kxtest::clear_log();
        hostile = {{302, c.what}};
        const long peak_before = peak_resident_kib();
        const auto began = std::chrono::steady_clock::now();
        std::unique_ptr<kxnet_filter, filter_release> filter(
            kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr, 301, 303));
        std::unique_ptr<kxnetif_info_list, list_release> list(kxnet_get_info(KXNET_INFO_IPV4, filter.get()));
        const auto took = std::chrono::steady_clock::now() - began;
        ASSERT_TRUE(list);
        // Without the bounds each of these ran for a minute or held
        // hundreds of megabytes.
        EXPECT_LT(took, std::chrono::seconds(30));
        EXPECT_LT(peak_resident_kib() - peak_before, 96 * 1024);
        EXPECT_EQ(names(list.get()), c.found);
        if (!c.line.empty()) {
            EXPECT_TRUE(logged(c.line)) << c.line;
        }
        EXPECT_FALSE(zombie_left());
    }
}

} // namespace

namespace {

// A caller that ignores SIGCHLD has the platform's children reaped by the
// kernel: the query neither fails nor waits for them, and a child it cannot
// prove its own is never signalled; the deadline still ends a pipe held open.
TEST_F(HostileDumpTest, AnIgnoredSigchldChangesNoContainerResult) {
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &saved);
    // Every container's names, with 302's child writing `what` (none: the
    // platform's dump).
    const auto names_with = [](const writes *what) {
        hostile.clear();
        if (what != nullptr) hostile = {{302, *what}};
        std::unique_ptr<kxnet_filter, filter_release> filter(
            kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr, 301, 303));
        std::unique_ptr<kxnetif_info_list, list_release> list(kxnet_get_info(KXNET_INFO_IPV4, filter.get()));
        return list ? names(list.get()) : std::vector<std::string>{"no list"};
    };
    const std::vector<std::string> others{"eth0@301", "eth0@303"};
    EXPECT_EQ(names_with(nullptr), (std::vector<std::string>{"eth0@301", "eth0@302", "eth0@303"}));
    for (const writes what : {writes::grandchild_keeps_pipe, writes::endless_groups})
        EXPECT_EQ(names_with(&what), others) << static_cast<int>(what);
    EXPECT_FALSE(zombie_left());
    sigaction(SIGCHLD, &saved, nullptr);
}

} // namespace
