// The caller's process-wide settings against the exported calls that run
// programs: a SIGCHLD disposition of SIG_IGN or SA_NOCLDWAIT, or a handler
// that reaps with waitpid(-1), must change no result and see none of the
// library's children; a caller's own child is left for the caller; and the
// caller's PATH never chooses the program the shell runs.
#include "kxnet_ct.h"

#include "library_test.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

volatile sig_atomic_t handler_calls = 0;

void reaping_handler(int) {
    handler_calls = handler_calls + 1;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

struct sigchld_setting {
    const char *name;
    void (*handler)(int);
    int flags;
};

const sigchld_setting settings[] = {
    {"SIG_IGN", SIG_IGN, 0},
    {"SA_NOCLDWAIT", SIG_DFL, SA_NOCLDWAIT},
    {"handler reaping waitpid(-1)", reaping_handler, SA_RESTART},
    {"handler reaping waitpid(-1), no SA_RESTART", reaping_handler, 0},
};

// The caller's SIGCHLD setting for the scope, and its old one back after.
class sigchld_as {
public:
    explicit sigchld_as(const sigchld_setting &setting) {
        struct sigaction wanted {};
        wanted.sa_handler = setting.handler;
        wanted.sa_flags = setting.flags;
        sigemptyset(&wanted.sa_mask);
        sigaction(SIGCHLD, &wanted, &saved_);
        handler_calls = 0;
    }
    sigchld_as(const sigchld_as &) = delete;
    sigchld_as &operator=(const sigchld_as &) = delete;
    ~sigchld_as() { sigaction(SIGCHLD, &saved_, nullptr); }

private:
    struct sigaction saved_ {};
};

class CallerSettingsTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (stopped()) return;
        const char *path = getenv("PATH");
        old_path_ = path != nullptr ? path : "";
        ns::add_veth("vcall", "vcallp");
        ns::set_up("vcall");
    }
    void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

    // Recording ifdown and ifup in the sandbox's sbin folder, where the
    // fixed search path looks first.
    std::string install_restart_standins() {
        const std::string record = ns::at("/restart.record");
        for (const char *tool : {"ifdown", "ifup"})
            write_file(ns::at("/usr/sbin/") + tool,
                       std::string("#!/bin/sh\necho \"") + tool + " $*\" >> " + record + "\n", 0755);
        return record;
    }

    std::string old_path_;
};

std::string registry() { return read_file(ns::at("/etc/kx/kxnet.conf")); }

TEST_F(CallerSettingsTest, SigchldSettingsChangeNoResultAndSeeNoChild) {
    const std::string record = install_restart_standins();
    // An ovs-vsctl whose add-br makes a Linux bridge, found by the fixed
    // search path's ip.
    write_file(ns::at("/usr/bin/ovs-vsctl"), "#!/bin/sh\n[ \"$3\" = add-br ] && ip link add \"$4\" type bridge\n",
               0755);
    kx::state().ovs_enabled = 1;

    int round = 0;
    for (const sigchld_setting &setting : settings) {
        SCOPED_TRACE(setting.name);
        write_file(ns::at("/etc/kx/kxnet.conf"), "");
        write_file(record, "");
        // A child of the caller's, ended and not yet reaped: it is the
        // caller's to reap, not the library's.
        const pid_t own = fork();
        ASSERT_GE(own, 0);
        if (own == 0) _exit(7);
        siginfo_t ended{};
        ASSERT_EQ(waitid(P_PID, own, &ended, WEXITED | WNOWAIT), 0);

        char bridge_name[16];
        std::snprintf(bridge_name, sizeof bridge_name, "brcall%d", round++);
        const std::string bridge = bridge_name;
        {
            sigchld_as caller(setting);
            EXPECT_EQ(compat_kxnet_addr_set("vcall", "dhcp"), KXNET_OK);
            EXPECT_EQ(kxnet_br_new(("net-" + bridge).c_str(), bridge_name), KXNET_OK);
            EXPECT_EQ(handler_calls, 0) << "a child of the library's signalled the caller";
        }
        EXPECT_EQ(read_file(record), "ifdown vcall\nifup vcall\n");
        EXPECT_EQ(registry(), "VNID_" + bridge + "=\"net-" + bridge + "\"\nADDR_vcall=\"dhcp\"\n");
        EXPECT_TRUE(ns::device_exists(bridge));

        int status = 0;
        EXPECT_EQ(waitpid(own, &status, 0), own);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
    }
}

TEST_F(CallerSettingsTest, TheCallersPathChoosesNoProgram) {
    const std::string record = install_restart_standins();
    // A caller's folder of impostors, first on its PATH.
    const std::string impostors = ns::at("/impostors");
    const std::string marker = ns::at("/impostor.ran");
    for (const char *tool : {"ifdown", "ifup"})
        write_file(impostors + "/" + tool, "#!/bin/sh\necho " + std::string(tool) + " >> " + marker + "\nexit 0\n",
                   0755);
    setenv("PATH", (impostors + ":" + old_path_).c_str(), 1);

    ASSERT_EQ(compat_kxnet_addr_set("vcall", "dhcp"), KXNET_OK);
    EXPECT_EQ(read_file(record), "ifdown vcall\nifup vcall\n");
    EXPECT_FALSE(kxtest::file_exists(marker));
    EXPECT_EQ(registry(), "ADDR_vcall=\"dhcp\"\n");
}

} // namespace
