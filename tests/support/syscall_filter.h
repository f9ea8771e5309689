// Seccomp filters for tests: one system call of the calling process runs
// chosen rules (refuse with an errno, or trap chosen ioctl requests to a
// SIGSYS handler), so a test can answer requests a stock kernel lacks or
// refuse ones it would grant.  x86-64 only: the handlers read the call's
// registers.
#pragma once

#if defined(__x86_64__)
#include <cstddef>
#include <initializer_list>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

namespace kxtest {

inline constexpr bool syscall_filter_supported = true;

// Installs a filter that lets every call but `nr` through and then runs
// `rules` (which load the arguments they test and return a verdict).  Exits
// with 250 when the kernel refuses it.
inline void filter_syscall(long nr, std::initializer_list<sock_filter> rules) {
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    filter.insert(filter.end(), rules);
    struct sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(250);
}

// Installs `handler` for SIGSYS and runs `ioctl_rules` (ALLOW or TRAP) for
// every ioctl.
inline void trap_ioctls(std::initializer_list<sock_filter> ioctl_rules,
                        void (*handler)(int, siginfo_t *, void *)) {
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &action, nullptr) != 0) _exit(250);
    filter_syscall(__NR_ioctl, ioctl_rules);
}

} // namespace kxtest
#else
namespace kxtest {
inline constexpr bool syscall_filter_supported = false;
}
#endif
