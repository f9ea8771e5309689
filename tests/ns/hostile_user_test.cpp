// A hostile local user against the host lock file and the log: the user's
// attacks run as uid 65534 on the sandbox's sticky tmp.  Root's calls must
// still complete, never use or follow what the user planted, never hold the
// exclusive lock twice, and write one log line per message.
#include "frame/frame.h"
#include "kxnet_ct.h"
#include "library_test.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

namespace ns = kxtest::ns;
using kxtest::log_messages;

// Runs `call` in a child that is killed after `seconds`; its result, or -1
// when it did not finish in time (it blocked).
template <class Call> int within(unsigned seconds, Call call) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        _exit(call());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A shell script run as uid 65534 in its own process group; it prints
// "ready" once its attack is in place and keeps what it holds until the
// object goes (the group is killed then).
class as_user {
public:
    explicit as_user(const std::string &script) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                   script.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        ready_ = wait_ready(out[0]);
        close(out[0]);
    }
    ~as_user() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    as_user(const as_user &) = delete;
    as_user &operator=(const as_user &) = delete;
    // Whether the script got its attack in place.
    bool ready() const { return ready_; }

private:
    static bool wait_ready(int fd) {
        std::string seen;
        char chunk[64];
        pollfd p{fd, POLLIN, 0};
        while (seen.find("ready") == std::string::npos && poll(&p, 1, 10000) == 1) {
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) break;
            seen.append(chunk, static_cast<size_t>(got));
        }
        return seen.find("ready") != std::string::npos;
    }
    pid_t pid_ = -1;
    bool ready_ = false;
};

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
    return text;
}

bool logged(const std::string &message) {
    for (const auto &line : log_messages())
        if (line == message) return true;
    return false;
}

class HostileUser : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (stopped()) return;
        // The user reaches the sticky tmp; the guard's directory is root's.
        ASSERT_EQ(chmod(ns::root().c_str(), 0755), 0);
        ASSERT_EQ(chmod(ns::at("/tmp").c_str(), 01777), 0);
        kxtest::make_dirs(ns::at("/run"));
        lock = ns::at("/tmp/kxnetcfg.lck");
    }

    // A changing call through the exported operations: the lock is taken,
    // the body finds no such network.
    static int changing_call() { return kxnet_br_del("no-such-net"); }

    // The lock path holds a lock file only root can open.
    void expect_sound_lock_file(const std::string &what) {
        struct stat info {};
        ASSERT_EQ(lstat(lock.c_str(), &info), 0) << what;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << what;
        EXPECT_EQ(info.st_uid, 0u) << what;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << what;
        EXPECT_EQ(info.st_nlink, 1u) << what;
    }

    std::string lock;
};

TEST_F(HostileUser, CannotHoldTheLockFileRootMade) {
    ASSERT_EQ(changing_call(), KXNET_ERR_NOT_FOUND);
    expect_sound_lock_file("made by the call");
    // Read access is all flock needs; the user must not get even that.
    as_user user("exec 9<" + lock + " && flock -x 9 && echo ready; sleep 60");
    EXPECT_FALSE(user.ready());
    EXPECT_EQ(within(10, changing_call), KXNET_ERR_NOT_FOUND) << "-1: the call waited for the user";
}

TEST_F(HostileUser, WhatTheUserPlantsIsReplacedNeverUsed) {
    const std::string target = ns::at("/etc/nologin");
    const std::string standin = ns::at("/etc/passwd-standin");
    kxtest::write_file(standin, "root:x:0:0::/root:/bin/sh\n", 0644);
    struct plant {
        const char *what;
        std::string script; // as the user; empty: root makes a hard link
        const char *replaced;
    };
    const plant plants[] = {
        {"the user's own file, locked", "exec 9>LOCK && flock -x 9 && echo ready; sleep 60", "a file of uid 65534"},
        {"an empty directory", "mkdir LOCK && echo ready", "a directory of uid 65534"},
        {"a directory with a file in it", "mkdir LOCK && touch LOCK/x && echo ready", "a directory of uid 65534"},
        {"a symlink to a path standing for /etc/nologin", "ln -s TARGET LOCK && echo ready", "a symlink of uid 65534"},
        {"a FIFO", "mkfifo LOCK && echo ready", "a FIFO of uid 65534"},
        {"a hard link of a root file", "", "a file of uid 0 with 2 links"},
    };
    for (const plant &p : plants) {
        ASSERT_EQ(ns::sh("rm -rf " + lock + " " + lock + ".moved.*"), 0);
        kxtest::clear_log();
        std::optional<as_user> user;
        if (p.script.empty())
            ASSERT_EQ(link(standin.c_str(), lock.c_str()), 0);
        else
            user.emplace(replace_all(replace_all(p.script, "LOCK", lock), "TARGET", target));
        ASSERT_TRUE(p.script.empty() || user->ready()) << p.what;

        EXPECT_EQ(within(10, changing_call), KXNET_ERR_NOT_FOUND) << p.what << " (-1: the call blocked)";
        expect_sound_lock_file(p.what);
        EXPECT_TRUE(logged(std::string("libkxnet: replaced ") + p.replaced + " at " + lock)) << p.what;
        EXPECT_FALSE(kxtest::file_exists(target)) << p.what << ": the symlink was followed";
        struct stat info {};
        ASSERT_EQ(stat(standin.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << p.what << ": a linked file's mode was changed";
        EXPECT_EQ(kxtest::read_file(standin), "root:x:0:0::/root:/bin/sh\n");
    }
}

TEST_F(HostileUser, RootsOwnWiderLockFileIsReplacedNotNarrowed) {
    // As the platform's other tools create it; a user opened it while it
    // was readable and holds a shared flock that a chmod would not end.
    kxtest::write_file(lock, "", 0644);
    struct stat before {};
    ASSERT_EQ(stat(lock.c_str(), &before), 0);
    as_user user("exec 9<" + lock + " && flock -s 9 && echo ready; sleep 60");
    ASSERT_TRUE(user.ready());
    EXPECT_EQ(within(10, changing_call), KXNET_ERR_NOT_FOUND) << "-1: the call waited for the user";
    expect_sound_lock_file("replaced");
    struct stat after {};
    ASSERT_EQ(stat(lock.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_TRUE(logged("libkxnet: replaced a file of uid 0 with mode 0644 at " + lock));
    EXPECT_EQ(ns::capture("ls " + ns::at("/tmp")), "kxnetcfg.lck") << "no temporary left beside it";

    // Made anew, it is 0600 whatever the umask.
    ASSERT_EQ(unlink(lock.c_str()), 0);
    mode_t old = umask(0277);
    int code = changing_call();
    umask(old);
    ASSERT_EQ(code, KXNET_ERR_NOT_FOUND);
    expect_sound_lock_file("made under umask 0277");
}

TEST_F(HostileUser, AReplacementThatCannotBeDoneFailsWithALine) {
    // Without the guard's directory nothing is replaced.
    ASSERT_EQ(ns::sh("rm -rf " + ns::at("/run")), 0);
    {
        as_user user("ln -s " + ns::at("/etc/nologin") + " " + lock + " && echo ready");
        ASSERT_TRUE(user.ready());
    }
    EXPECT_EQ(changing_call(), KXNET_ERR_SYSTEM);
    auto messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().rfind("libkxnet: cannot replace a symlink of uid 65534 at " + lock + " without ", 0), 0u)
        << messages.back();
    EXPECT_FALSE(kxtest::file_exists(ns::at("/etc/nologin")));

    // A missing directory still fails quietly, guard or not.
    kxtest::make_dirs(ns::at("/run"));
    ASSERT_EQ(ns::sh("rm -rf " + ns::at("/tmp")), 0);
    kxtest::clear_log();
    EXPECT_EQ(changing_call(), KXNET_ERR_SYSTEM);
    EXPECT_EQ(log_messages(), std::vector<std::string>{"libkxnet: grab_excl_kxnetlock"});
}

// Each round plants a foreign entry and lets callers loose on it at once;
// inside the lock each caller claims a marker that only one may hold.
TEST_F(HostileUser, RacingReplacementsNeverHoldTheLockTwice) {
    constexpr int rounds = 24;
    constexpr int callers = 4;
    const std::string marker = ns::at("/etc/kx/inside");
    for (int round = 0; round < rounds; ++round) {
        ASSERT_EQ(ns::sh("rm -rf " + lock + " " + lock + ".moved.*"), 0);
        switch (round % 4) {
        case 0: kxtest::write_file(lock, "", 0644); break;
        case 1: ASSERT_EQ(symlink(marker.c_str(), lock.c_str()), 0); break;
        case 2: ASSERT_EQ(mkdir(lock.c_str(), 0755), 0); break;
        default: kxtest::write_file(lock, "", 0644); // root's own, replaced by a rename
        }
        if (round % 4 != 3) {
            ASSERT_EQ(lchown(lock.c_str(), 65534, 65534), 0);
        }

        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < callers; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                close(start[1]);
                char c;
                (void)!read(start[0], &c, 1); // until the parent closes its end
                alarm(20);
                _exit(kx::framed_code(
                    kx::lock_mode::exclusive,
                    [&] {
                        int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
                        if (fd < 0) return 99; // another caller is inside
                        usleep(2000);
                        close(fd);
                        unlink(marker.c_str());
                        return 0;
                    },
                    [](int) {}));
            }
            children.push_back(pid);
        }
        close(start[0]);
        close(start[1]);
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "round " << round << ": status " << status << " (99: two callers held the lock)";
        }
        expect_sound_lock_file("round " + std::to_string(round));
    }
}

TEST_F(HostileUser, ANameWithControlBytesWritesOneLogLine) {
    const std::string forged = "12-07 14:05:09.027\t1\t1\tNetwork \"evil\" is added";
    const std::string id = "net\\\x7f\n" + forged;
    const int err = kxnet_br_del(id.c_str());
    auto messages = log_messages();
    for (const auto &line : messages) EXPECT_NE(line, "Network \"evil\" is added");
    EXPECT_TRUE(logged("Failed to remove network \"net\\\\\\x7f\\n12-07 14:05:09.027\\t1\\t1\\tNetwork \"evil\" is added\", "
                       "err = " + std::to_string(err)))
        << kxtest::read_file(ns::at("/var/log/kxnetcfg.log"));
}

TEST_F(HostileUser, TheLogIsCreatedWithoutWriteForOthersUnderAnyUmask) {
    const std::string log = ns::at("/var/log/kxnetcfg.log");
    struct stat info {};
    for (const auto &[mask, mode] : {std::pair<mode_t, mode_t>{0, 0644}, {022, 0644}, {077, 0600}}) {
        SCOPED_TRACE(mask);
        ASSERT_EQ(unlink(log.c_str()), 0);
        mode_t old = umask(mask);
        ASSERT_EQ(changing_call(), KXNET_ERR_NOT_FOUND);
        umask(old);
        ASSERT_EQ(stat(log.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
    }

    // The administrator's mode stays.
    ASSERT_EQ(chmod(log.c_str(), 0600), 0);
    ASSERT_EQ(changing_call(), KXNET_ERR_NOT_FOUND);
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

// What stands at the log path that is not a regular file is never written
// through nor waited on: the operation goes on without its lines.
TEST_F(HostileUser, ALogPathThatIsNoRegularFileIsSkipped) {
    const std::string log = ns::at("/var/log/kxnetcfg.log");
    const std::string target = ns::at("/etc/passwd-like");
    struct planted_log {
        const char *what;
        std::string command;
    };
    const planted_log plants[] = {
        {"a symlink to root's file", "ln -s '" + target + "' '" + log + "'"},
        {"a FIFO nobody reads", "mkfifo '" + log + "'"},
        {"a FIFO a user keeps open for reading", "mkfifo -m 666 '" + log + "'"},
    };
    for (const planted_log &p : plants) {
        SCOPED_TRACE(p.what);
        kxtest::write_file(target, "root:x:0:0::/root:/bin/sh\n", 0644);
        ASSERT_EQ(unlink(log.c_str()), 0);
        ASSERT_EQ(ns::sh(p.command), 0);
        std::optional<as_user> reader;
        if (std::string(p.what).find("keeps open") != std::string::npos) {
            reader.emplace("exec 3<> '" + log + "'; echo ready; sleep 600");
            ASSERT_TRUE(reader->ready());
        }
        EXPECT_EQ(within(10, changing_call), KXNET_ERR_NOT_FOUND) << "-1: the call blocked on the log";
        EXPECT_EQ(kxtest::read_file(target), "root:x:0:0::/root:/bin/sh\n");
        reader.reset();
        ASSERT_EQ(unlink(log.c_str()), 0);
        kxtest::write_file(log, "", 0644);
    }
}

} // namespace
