// Changing calls killed with SIGKILL part-way, on a host with networks,
// ports, containers and an address.  A child runs one call under ptrace and
// is killed on entry to its Nth system call; the points are every step that
// changes something (each ioctl, netlink send, write, rename, unlink, sync,
// spawn), just before and just after, filled up evenly over the whole call.
// After each kill: the registry and ifcfg files are each their old or their
// new content; check --repair then check is clean or leaves only orphans,
// which --prune removes; and the next call of every export completes.
#include "kxnet_ct.h"
#include "test_support.h"
#include "tool_env.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace ns = kxtest::ns;
using kxtest::file_exists;
using kxtest::read_file;
using namespace kxtest::tool;

namespace {

const std::string ifcfg_dir = "/etc/sysconfig/network";
// Where the calls write files: the registry's directory and the ifcfg files'.
const std::string written_dirs[] = {"/etc/kx", ifcfg_dir};

// ---- one traced run ------------------------------------------------------------

struct traced_run {
    bool killed = false;          // killed on entry to syscall `kill_at`
    std::vector<long> syscalls;   // the numbers entered, when recorded
};

// System calls that change something outside the process.
bool changes_something(long nr) {
    static const std::set<long> changing = {
        SYS_ioctl,    SYS_sendto,  SYS_sendmsg, SYS_write,    SYS_pwrite64, SYS_writev,   SYS_rename,
        SYS_renameat, SYS_renameat2, SYS_unlink, SYS_unlinkat, SYS_linkat,  SYS_fsync,    SYS_fdatasync,
        SYS_fchmod,   SYS_fsetxattr, SYS_setxattr, SYS_fremovexattr, SYS_flock, SYS_clone, SYS_clone3,
        SYS_vfork,    SYS_fork,    SYS_openat,  SYS_mkdirat,  SYS_ftruncate};
    return changing.count(nr) != 0;
}

// Runs `call` in a traced child and kills it on entry to system call number
// `kill_at` (1-based; 0: never).  The child's own exit ends the run too.
traced_run run_traced(const std::function<int()> &call, long kill_at, bool record) {
    traced_run run;
    pid_t child = fork();
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(251);
        raise(SIGSTOP);
        _exit(call() & 0xff);
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0 || !WIFSTOPPED(status)) return run; // not traceable: nothing entered
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
    long entered = 0;
    for (;;) {
        if (waitpid(child, &status, 0) < 0) break;
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        int signal = WSTOPSIG(status);
        if (signal == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info);
            if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
                ++entered;
                if (record) run.syscalls.push_back(static_cast<long>(info.entry.nr));
                if (entered == kill_at) {
                    kill(child, SIGKILL);
                    waitpid(child, &status, 0);
                    run.killed = true;
                    break;
                }
            }
            signal = 0;
        }
        ptrace(PTRACE_SYSCALL, child, nullptr, reinterpret_cast<void *>(static_cast<long>(signal)));
    }
    return run;
}

// The kill points of a call that entered `syscalls`: before and after every
// changing step, then evenly spread ones, `budget` in all (evenly thinned
// when the steps alone are more).
std::vector<long> kill_points(const std::vector<long> &syscalls, size_t budget, size_t &steps) {
    std::set<long> points;
    steps = 0;
    for (size_t i = 0; i < syscalls.size(); ++i)
        if (changes_something(syscalls[i])) {
            ++steps;
            points.insert(static_cast<long>(i) + 1);
            if (i + 2 <= syscalls.size()) points.insert(static_cast<long>(i) + 2);
        }
    std::vector<long> chosen(points.begin(), points.end());
    if (chosen.size() > budget) {
        std::vector<long> thinned;
        for (size_t k = 0; k < budget; ++k) thinned.push_back(chosen[k * chosen.size() / budget]);
        return thinned;
    }
    for (size_t k = 0; chosen.size() < budget && k < budget; ++k) {
        long at = 1 + static_cast<long>(k * syscalls.size() / budget);
        if (points.insert(at).second) chosen.push_back(at);
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

// ---- kxnetctl with a time limit -------------------------------------------------

struct timed_result {
    bool hung = false;
    int status = -1;
    std::string out;
};

// What every process runs and waits in, and the file locks: taken when a
// step outlives its limit, so that a hang names what it waited for.
std::string process_picture() {
    std::string picture;
    for (const auto &pid : kxtest::list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string command = read_file("/proc/" + pid + "/cmdline");
        if (command.empty()) continue; // a kernel thread
        std::replace(command.begin(), command.end(), '\0', ' ');
        const std::string stat = read_file("/proc/" + pid + "/stat");
        const auto after_name = stat.rfind(") ");
        const std::string state = after_name == std::string::npos ? "?" : stat.substr(after_name + 2, 1);
        picture += pid + " " + state + " " + read_file("/proc/" + pid + "/wchan") + "  " + command + "\n";
    }
    return picture + "file locks:\n" + read_file("/proc/locks");
}

// Waits for `child` up to `seconds`, then prints what runs and kills it;
// false when it was killed.
bool waited_within(pid_t child, int seconds, int &status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "pid %d ran past %d s:\n%s", static_cast<int>(child), seconds, process_picture().c_str());
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        usleep(2000);
    }
    return true;
}

timed_result kxnetctl_within(const std::vector<std::string> &args, int seconds) {
    const std::string out_path = ns::at("/tmp/crash.out");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string program = ns::binary_dir() + "/tools/kxnetctl/kxnetctl";
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    timed_result r;
    pid_t child = -1;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    int status = 0;
    if (!waited_within(child, seconds, status)) {
        r.hung = true;
        return r;
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(out_path);
    return r;
}

// Runs `body` in a child; false when it did not end within `seconds`.
bool completes_within(const std::function<void()> &body, int seconds) {
    pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    if (!waited_within(child, seconds, status)) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- the host's files -----------------------------------------------------------

using file_picture = std::map<std::string, std::string>; // path -> content

// A writer's temporary (".<target>.kxnet-XXXXXX"), which a writer killed
// between naming it and its rename leaves for the next write to sweep.
bool is_temporary(const std::string &name) { return name[0] == '.' && name.find(".kxnet-") != std::string::npos; }

// The registry and the ifcfg files; temporaries are counted apart.
file_picture files_now(int *temporaries = nullptr) {
    file_picture files;
    for (const std::string &dir : written_dirs)
        for (const auto &name : kxtest::list_dir(ns::at(dir))) {
            if (!is_temporary(name))
                files[dir + "/" + name] = read_file(ns::at(dir + "/" + name));
            else if (temporaries != nullptr)
                ++*temporaries;
        }
    return files;
}

// Every file is as it was before the call or as a whole call leaves it;
// what differs is named.
std::string not_old_or_new(const file_picture &now, const file_picture &old_files, const file_picture &new_files) {
    std::set<std::string> paths;
    for (const auto *p : {&now, &old_files, &new_files})
        for (const auto &[path, content] : *p) paths.insert(path);
    std::string bad;
    for (const auto &path : paths) {
        auto in = [&](const file_picture &p) {
            auto it = p.find(path);
            return it == p.end() ? std::string("(absent)\n\x01") : it->second;
        };
        if (in(now) != in(old_files) && in(now) != in(new_files)) bad += path + " ";
    }
    return bad;
}

// ---- the calls ------------------------------------------------------------------

struct changing_call {
    const char *name;
    std::function<void()> before; // in this process, untraced
    std::function<int()> call;    // in the killed child
    std::function<void()> undo;   // back to the host of the round's start
};

// A whole run of a call: what it entered and the files before and after.
struct calibration {
    std::vector<long> syscalls;
    file_picture old_files, new_files;
};

// The kills shared out: a call with fewer system calls than its share gets
// one kill per system call, and what it leaves goes to the others.
std::vector<size_t> shares(const std::vector<calibration> &runs, size_t total) {
    std::vector<size_t> order(runs.size()), budget(runs.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return runs[a].syscalls.size() < runs[b].syscalls.size(); });
    size_t left = total;
    for (size_t k = 0; k < order.size(); ++k) {
        budget[order[k]] = std::min(runs[order[k]].syscalls.size(), left / (order.size() - k));
        left -= budget[order[k]];
    }
    return budget;
}

struct figures {
    long syscalls = 0;
    size_t steps = 0;
    int kills = 0, ran_out = 0, repaired = 0, orphans = 0, unmarked = 0, temporaries = 0, hangs = 0, unmendable = 0,
        torn = 0;
};

// Set where the kernel has VLAN devices: every probe then makes and removes one.
bool probe_vlans = false;

class CrashTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (IsSkipped()) return;
        kxtest::write_file(ns::at("/etc/SuSE-release"), "SUSE\n");
        kxtest::make_dirs(ns::at(ifcfg_dir));
        ASSERT_EQ(kxct("create 101 --veth veth101.0:web"), 0);
        ASSERT_EQ(kxct("start 101"), 0);
        ASSERT_EQ(kxct("create 102 --veth veth102.0:db"), 0);
        ASSERT_EQ(kxct("start 102"), 0);
        for (const char *nic : {"nic0", "nic1", "nic2", "nic3"}) add_nic(nic);
        ASSERT_EQ(kxnetctl({"network", "add", "web", "--bridge", "brweb"}).status, 0);
        ASSERT_EQ(kxnetctl({"network", "add", "db", "--bridge", "brdb"}).status, 0);
        add_switch_fixture("brweb");
        add_switch_fixture("brdb");
        add_switch_fixture("brnew");
        add_switch_fixture("brprobe");
        ASSERT_EQ(kxnetctl({"attach", "web", "nic0"}).status, 0);
        kxtest::write_file(ns::at(ifcfg_dir + "/ifcfg-nic1"), "BOOTPROTO='static'\nSTARTMODE='auto'\n", 0600);
        ASSERT_EQ(kxnetctl({"addr", "set", "nic1", "10.9.9.1/24"}).status, 0);
        ASSERT_TRUE(probe_every_export());
        ASSERT_EQ(kxnetctl({"check"}).status, 0) << kxnetctl({"check"}).out;
    }
    void TearDown() override {
        if (IsSkipped()) return;
        kxct("stop 101");
        kxct("stop 102");
    }

    // One call of every changing export, each of which must answer OK: a
    // network made, renamed, given a NIC and an address, emptied and
    // removed, a host start, and with `stop` a host stop and start again
    // (which rebuilds every bridge, so it is the dearest).
    static bool probe_every_export(bool stop = true) {
        ns::sh("ip addr flush dev nic3");
        bool ok = true;
        auto answers = [&ok](const char *what, int code) {
            if (code == KXNET_OK) return;
            std::fprintf(stderr, "probe: %s answered %d\n", what, code);
            ok = false;
        };
        char bridge[16] = "brprobe";
        answers("kxnet_br_new", kxnet_br_new("probe", bridge));
        answers("kxnet_br_change", kxnet_br_change("probe", "probe2"));
        answers("kxnet_br_attach_CT", kxnet_br_attach_CT("probe2", "nic3"));
        answers("compat_kxnet_addr_set", compat_kxnet_addr_set("nic3", "10.8.8.1/24"));
        answers("kxnet_br_detach_CT", kxnet_br_detach_CT("nic3"));
        answers("kxnet_br_del", kxnet_br_del("probe2"));
        if (probe_vlans) {
            char vlan[16] = {};
            answers("kxnet_vlan_new", kxnet_vlan_new("nic3", 8, vlan, sizeof vlan));
            answers("kxnet_vlan_del", kxnet_vlan_del(vlan));
        }
        if (stop) answers("kxnet_destroy_devices", kxnet_destroy_devices());
        answers("kxnet_init_devices", kxnet_init_devices());
        return ok;
    }

    // What the prune left: a device of a killed call that nothing marks (a
    // bridge made before its ifcfg file), taken away as a person would.
    static bool remove_unmarked(const std::string &bridge) {
        if (!ns::device_exists(bridge)) return false;
        ns::sh("ip link del " + bridge);
        return true;
    }

    // Where the file system has no unnamed files (an overlay before Linux
    // 6.6), a writer killed between making its named temporary and marking
    // it leaves an empty file no sweep may take for ours: removed here as a
    // person would.
    static int remove_unmarked_temporaries() {
        int removed = 0;
        for (const std::string &dir : written_dirs)
            for (const auto &name : kxtest::list_dir(ns::at(dir)))
                if (is_temporary(name) && read_file(ns::at(dir + "/" + name)).empty()) {
                    std::remove(ns::at(dir + "/" + name).c_str());
                    ++removed;
                }
        return removed;
    }

    calibration calibrate(const changing_call &c);
    void run_calls(const std::vector<changing_call> &calls, size_t total);
    void torture(const changing_call &c, const calibration &whole, size_t budget, figures &f);
};

calibration CrashTest::calibrate(const changing_call &c) {
    calibration whole;
    whole.old_files = files_now();
    c.before();
    whole.syscalls = run_traced(c.call, 0, true).syscalls;
    whole.new_files = files_now();
    c.undo();
    EXPECT_EQ(files_now(), whole.old_files) << c.name << ": the undo does not give back the round's start";
    return whole;
}

void CrashTest::torture(const changing_call &c, const calibration &whole, size_t budget, figures &f) {
    const file_picture &old_files = whole.old_files, &new_files = whole.new_files;
    f.syscalls = static_cast<long>(whole.syscalls.size());
    const std::vector<long> points = kill_points(whole.syscalls, budget, f.steps);

    for (long at : points) {
        c.before();
        traced_run run = run_traced(c.call, at, false);
        ++f.kills;
        if (!run.killed) ++f.ran_out;
        int temporaries = 0;
        std::string torn = not_old_or_new(files_now(&temporaries), old_files, new_files);
        if (temporaries != 0) ++f.temporaries;
        if (!torn.empty()) {
            ++f.torn;
            ADD_FAILURE() << c.name << " killed at syscall " << at << ": not old nor new: " << torn;
        }
        // A clean host needs no repair; otherwise the repair, and a check after it.
        timed_result looked = kxnetctl_within({"--json", "check"}, 60);
        if (!looked.hung && looked.status != 0) {
            timed_result mended = kxnetctl_within({"--json", "check", "--repair"}, 60);
            const nlohmann::json repair_doc = nlohmann::json::parse(mended.out, nullptr, false);
            if (repair_doc.is_object() && !repair_doc.value("repaired", nlohmann::json::array()).empty()) ++f.repaired;
            looked = mended.hung ? mended : kxnetctl_within({"--json", "check"}, 60);
        }
        if (looked.hung) {
            ++f.hangs;
            ADD_FAILURE() << c.name << " killed at syscall " << at << ": check hung";
            continue;
        }
        const nlohmann::json check_doc = nlohmann::json::parse(looked.out, nullptr, false);
        bool only_orphans = check_doc.is_object();
        bool any_orphan = false;
        if (only_orphans)
            for (const auto &finding : check_doc.at("findings")) {
                bool orphan = finding.at("kind").get<std::string>().rfind("orphan-", 0) == 0;
                only_orphans = only_orphans && orphan;
                any_orphan = any_orphan || orphan;
            }
        if (!only_orphans) {
            ++f.unmendable;
            ADD_FAILURE() << c.name << " killed at syscall " << at << ": after --repair: " << looked.out;
        }
        if (any_orphan) {
            ++f.orphans;
            timed_result pruned = kxnetctl_within({"check", "--repair", "--prune"}, 60);
            timed_result clean = kxnetctl_within({"check"}, 60);
            if (pruned.hung || clean.hung) ++f.hangs;
            if (clean.status != 0) {
                ++f.unmendable;
                ADD_FAILURE() << c.name << " killed at syscall " << at << ": after --prune: " << clean.out;
            }
        }
        // Every tenth round stops and starts the host as well.
        const bool stop = f.kills % 10 == 1;
        bool probed = completes_within([stop] { _exit(probe_every_export(stop) ? 0 : 1); }, 60);
        if (!probed) {
            ++f.hangs;
            ADD_FAILURE() << c.name << " killed at syscall " << at << ": an export did not complete or failed";
        }
        c.undo();
        if (remove_unmarked("brnew")) ++f.unmarked;
        f.unmarked += remove_unmarked_temporaries();
        int unswept = 0;
        if (files_now(&unswept) != old_files || unswept != 0) {
            ADD_FAILURE() << c.name << " killed at syscall " << at << ": the host did not come back to the round's start";
            return;
        }
        if (HasFailure()) return;
    }
}

// Calibrates every call, shares `total` kills out among them, kills each
// call at its points and prints the figures, a line per call.
void CrashTest::run_calls(const std::vector<changing_call> &calls, size_t total) {
    const auto start = std::chrono::steady_clock::now();
    std::printf("%-22s %8s %6s %6s %9s %8s %8s %6s %6s %10s\n", "call", "syscalls", "steps", "kills", "repaired", "orphans",
                "unmarked", "temps", "hangs", "unmendable");
    std::vector<calibration> runs;
    for (const auto &c : calls) runs.push_back(calibrate(c));
    ASSERT_FALSE(HasFailure());
    if (runs.front().syscalls.empty()) GTEST_SKIP() << "this process may not trace its children";
    const std::vector<size_t> budget = shares(runs, total);
    figures all;
    for (size_t i = 0; i < calls.size(); ++i) {
        const changing_call &c = calls[i];
        figures f;
        torture(c, runs[i], budget[i], f);
        std::printf("%-22s %8ld %6zu %6d %9d %8d %8d %6d %6d %10d\n", c.name, f.syscalls, f.steps, f.kills, f.repaired,
                    f.orphans, f.unmarked, f.temporaries, f.hangs, f.unmendable);
        std::fflush(stdout);
        all.kills += f.kills;
        all.repaired += f.repaired;
        all.orphans += f.orphans;
        all.unmarked += f.unmarked;
        all.temporaries += f.temporaries;
        all.hangs += f.hangs;
        all.unmendable += f.unmendable;
        all.ran_out += f.ran_out;
        if (HasFailure()) break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-22s %8s %6s %6d %9d %8d %8d %6d %6d %10d   (%.0f s; %d kill points past the call's end)\n", "all", "",
                "", all.kills, all.repaired, all.orphans, all.unmarked, all.temporaries, all.hangs, all.unmendable, seconds,
                all.ran_out);
    EXPECT_EQ(all.hangs, 0);
    EXPECT_EQ(all.unmendable, 0);
}

bool registered(const char *id) {
    kxnet_network_list *list = kxnet_get_configured_networks();
    bool found = false;
    for (kxnet_link *l = list != nullptr ? list->link.next : nullptr; list != nullptr && l != &list->link; l = l->next)
        found = found || std::string(reinterpret_cast<kxnet_network *>(l)->network_id) == id;
    if (list != nullptr) {
        kxnet_free_networks(list);
        std::free(list);
    }
    return found;
}

TEST_F(CrashTest, KilledChangingCallsLeaveAMendableHost) {
    const char *count_text = std::getenv("KXNET_CRASH_KILLS");
    const size_t total = count_text != nullptr ? std::strtoul(count_text, nullptr, 10) : 1000;
    auto nothing = [] {};
    const std::vector<changing_call> calls = {
        {"kxnet_br_new", nothing, [] { char b[16] = "brnew"; return kxnet_br_new("new", b); },
         [] { if (registered("new")) kxnet_br_del("new"); }},
        {"kxnet_br_del", nothing, [] { return kxnet_br_del("db"); },
         [] { char b[16] = "brdb"; if (!registered("db")) kxnet_br_new("db", b); }},
        {"kxnet_br_change", nothing, [] { return kxnet_br_change("db", "backend"); },
         [] { if (registered("backend")) kxnet_br_change("backend", "db"); }},
        {"kxnet_br_attach", nothing, [] { return kxnet_br_attach_CT("db", "nic2"); },
         [] { kxnet_br_detach_CT("nic2"); }},
        {"kxnet_br_attach (pair)", [] { kxnet_br_detach_CT("veth101.0"); },
         [] { return kxnet_br_attach_CT("web", "veth101.0"); },
         [] { if (master_of("veth101.0").empty()) kxnet_br_attach_CT("web", "veth101.0"); }},
        {"kxnet_br_detach", nothing, [] { return kxnet_br_detach_CT("nic0"); },
         [] { if (master_of("nic0").empty()) kxnet_br_attach_CT("web", "nic0"); }},
        {"compat_kxnet_addr_set", [] { ns::sh("ip addr flush dev nic1"); },
         [] { return compat_kxnet_addr_set("nic1", "10.9.9.1/24"); }, nothing},
        {"kxnet_init_devices", [] { kxnet_destroy_devices(); }, [] { return kxnet_init_devices(); }, nothing},
        {"kxnet_destroy_devices", nothing, [] { return kxnet_destroy_devices(); }, [] { kxnet_init_devices(); }},
    };
    run_calls(calls, total);
}

// 802.1Q devices need a kernel with the VLAN module: the vm lane's.
bool vlans_available() {
    return ns::sh("ip link add link nic3 name nic3.99 type vlan id 99 2>/dev/null && ip link del nic3.99") == 0;
}

// The VLAN served by db (as its physical interface) with an address: what a
// removal takes apart and a killed removal must leave mendable.
void make_served_vlan() {
    char name[16] = {};
    kxnet_vlan_new("nic2", 5, name, sizeof name);
    kxnet_br_attach_CT("db", "vlan5");
    compat_kxnet_addr_set("vlan5", "10.7.7.1/24");
}

TEST_F(CrashTest, KilledVlanCallsLeaveAMendableHost) {
    if (!vlans_available()) GTEST_SKIP() << "no 802.1Q VLAN devices in this kernel (the vm lane runs this test)";
    probe_vlans = true;
    make_served_vlan();
    ASSERT_EQ(master_of("vlan5"), "brdb");
    // Its ifcfg file removed behind the library's back: a repair makes the
    // VLAN again, served and addressed as registered.
    const std::string vlan_file = ns::at(ifcfg_dir + "/ifcfg-vlan5");
    const std::string registry = read_file(ns::at("/etc/kx/kxnet.conf"));
    ASSERT_TRUE(file_exists(vlan_file));
    std::remove(vlan_file.c_str());
    auto repaired = kxnetctl({"check", "--repair"});
    EXPECT_NE(repaired.out.find("repaired"), std::string::npos) << repaired.out;
    EXPECT_EQ(kxnetctl({"check"}).status, 0) << kxnetctl({"check"}).out;
    EXPECT_TRUE(file_exists(vlan_file));
    EXPECT_EQ(read_file(ns::at("/etc/kx/kxnet.conf")), registry);
    ASSERT_FALSE(HasFailure());

    const char *count_text = std::getenv("KXNET_CRASH_VLAN_KILLS");
    const size_t total = count_text != nullptr ? std::strtoul(count_text, nullptr, 10) : 200;
    const std::vector<changing_call> calls = {
        {"kxnet_vlan_new", [] {}, [] { char n[16] = {}; return kxnet_vlan_new("nic2", 6, n, sizeof n); },
         [] { if (ns::device_exists("vlan6")) kxnet_vlan_del("vlan6"); }},
        {"kxnet_vlan_del", [] {}, [] { return kxnet_vlan_del("vlan5"); },
         [] { if (!ns::device_exists("vlan5")) make_served_vlan(); }},
    };
    run_calls(calls, total);
}

} // namespace
