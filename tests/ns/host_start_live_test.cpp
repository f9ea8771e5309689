// Host start on a live host, as check --repair runs it: a registered bridge
// that stands but will not come up keeps its ports (only a bridge made by
// the call itself is taken back).
#include "syscall_filter.h"
#include "kxnet_ct.h"
#include "library_test.h"
#include "ns_env.h"

#include <linux/sockios.h>
#include <sys/wait.h>
#include <unistd.h>

using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

#if defined(__x86_64__)
// Every SIOCSIFFLAGS is refused with EPERM.
void refuse_flags(int, siginfo_t *, void *raw) {
    static_cast<ucontext_t *>(raw)->uc_mcontext.gregs[REG_RAX] = -EPERM;
}

int init_devices_without_flag_changes() {
    kxtest::trap_ioctls({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SIOCSIFFLAGS, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    }, refuse_flags);
    return kxnet_init_devices();
}
#else
int init_devices_without_flag_changes() { _exit(250); }
#endif

class HostStartLiveTest : public LibraryTest {};

TEST_F(HostStartLiveTest, AStandingBridgeThatWillNotComeUpKeepsItsPorts) {
    if (!kxtest::syscall_filter_supported) GTEST_SKIP() << "the ioctl trap is written for x86-64";
    ns::add_bridge("br0");
    ns::add_veth("e1", "e1p");
    ASSERT_EQ(ns::sh("ip link set e1 master br0 && ip link set br0 down"), 0);
    write_file(ns::at("/etc/kx/kxnet.conf"), "VNID_br0=\"net-a\"\nVNID_br1=\"net-b\"\n");
    pid_t child = fork();
    if (child == 0) _exit(init_devices_without_flag_changes());
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 250) GTEST_SKIP() << "seccomp filters are refused here";
    EXPECT_EQ(WEXITSTATUS(status), KXNET_OK);
    EXPECT_TRUE(ns::device_exists("br0"));
    EXPECT_EQ(ns::master_of("e1"), "br0");
    EXPECT_FALSE(ns::device_exists("br1")) << "a bridge made by the call and never up is taken back";
}

} // namespace
