// Traps chosen ioctl requests of the calling process to a SIGSYS handler
// through a seccomp filter, so a test can answer requests a stock kernel
// lacks or refuse ones it would grant.  x86-64 only: the handlers read the
// call's registers.
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

inline constexpr bool ioctl_trap_supported = true;

// Installs `handler` for SIGSYS and a filter that lets every call but ioctl
// through and then runs `ioctl_rules` (which load the arguments they test
// and return ALLOW or TRAP).  Exits with 250 when the kernel refuses it.
inline void trap_ioctls(std::initializer_list<sock_filter> ioctl_rules,
                        void (*handler)(int, siginfo_t *, void *)) {
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    filter.insert(filter.end(), ioctl_rules);
    struct sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &action, nullptr) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(250);
}

} // namespace kxtest
#else
namespace kxtest {
inline constexpr bool ioctl_trap_supported = false;
}
#endif
