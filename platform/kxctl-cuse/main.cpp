// kxctl-cuse: the container kernel's control device /dev/kxctl as a CUSE
// character device, for kernels that lack it.  It answers the pair request
// (0x40405b03) by creating the named veth pair in the caller's network
// namespace and ENOTTY to every other request.
//
//   kxctl-cuse [-f] [-d]    (-f stays in the foreground, -d debugs)
#define FUSE_USE_VERSION 31
#include "pair_request.h"

#include <cerrno>
#include <cuse_lowlevel.h>
#include <fuse_lowlevel.h>
#include <vector>

namespace {

void on_open(fuse_req_t req, fuse_file_info *fi) { fuse_reply_open(req, fi); }

void on_ioctl(fuse_req_t req, int cmd, void *, fuse_file_info *, unsigned flags, const void *in_buf,
              size_t in_bufsz, size_t) {
    if (static_cast<unsigned>(cmd) != kxctl_pair_create_request || (flags & FUSE_IOCTL_COMPAT) != 0) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    kxctl_pair_record record{};
    int error = kxcuse::check_record(in_buf, in_bufsz, record);
    if (error == 0) error = kxcuse::create_pair(fuse_req_ctx(req)->pid, record);
    if (error != 0)
        fuse_reply_err(req, error);
    else
        fuse_reply_ioctl(req, 0, nullptr, 0);
}

} // namespace

int main(int argc, char *argv[]) {
    // One request at a time: a request moves the daemon into the caller's
    // network namespace for a moment.
    std::vector<char *> args(argv, argv + argc);
    static char single_threaded[] = "-s";
    args.push_back(single_threaded);

    static const char *device_info[] = {"DEVNAME=kxctl"};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = device_info;

    cuse_lowlevel_ops ops{};
    ops.open = on_open;
    ops.ioctl = on_ioctl;
    return cuse_lowlevel_main(static_cast<int>(args.size()), args.data(), &info, &ops, nullptr);
}
