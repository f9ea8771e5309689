// The host lock file in a world-writable directory.  Only a regular file
// owned by the effective user, with one link and mode 0600, counts as the
// lock file ("ours"), so no other user can open it and hold its flock.
// Anything else at the path (another user's file, a symlink, a directory, a
// FIFO, a hard link) is removed and the file made anew; our own file with
// group or other bits (as other tools create it) is replaced by a new one
// renamed over it, since a user may have opened it while it was readable
// and would keep that descriptor through a chmod.  Each replacement logs a
// line naming what was replaced.
//
// Why two callers of this library never both hold the exclusive lock:
//  1. A caller holds the lock only when flock on its descriptor succeeded
//     and, after that, lstat of the path still names the same inode.  Two
//     holders at once need the path to move from one locked inode to another
//     while the first is held.
//  2. Our file is never moved off the path.  The directory is sticky and the
//     file is root's, so no user may unlink it or rename over it, and the
//     library removes only entries that are not ours.  A root file with
//     group or other bits is replaced, but no caller of ours ever locks such
//     a file, so it has no holder of ours to lose.
//  3. The library removes and creates entries only under the guard, an
//     flock on a file in a root-only directory that no user can open.  So
//     between the guarded check "this entry is not ours" and its removal no
//     caller can make ours at the path, and a user can only swap one foreign
//     entry for another.  A foreign entry cannot become ours in place, except
//     a root file with a second link that loses it: users cannot make such a
//     link while fs.protected_hardlinks is on.
// Without the guard's directory (a sandbox root without /run) nothing can be
// removed at all, so a missing file is simply created with O_EXCL.  Other
// tools that open the path with O_CREAT themselves are outside this promise.
#include "frame/lock_file.h"

#include "frame/log.h"
#include "frame/state.h"
#include "sys/fd.h"
#include "sys/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

// O_NONBLOCK: opening a user's planted file must not wait on a lease the
// user holds on it.
constexpr int open_flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
// Bounds the passes over an entry that keeps changing beneath us.
constexpr int passes = 8;

// Ours by owner and type; usable as the lock only when also private.
bool is_ours(const struct stat &info) {
    return S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1;
}

bool is_private(const struct stat &info) { return (info.st_mode & 07077) == 0; }

bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Mode 0600.  A failure leaves a file that is still a lock file; the next
// call tries again.
void set_private(int fd) { [[maybe_unused]] int ignored = fchmod(fd, 0600); }

// The lock file at `path` when it is ours and private, else nothing.
unique_fd open_ours(const char *path) {
    unique_fd fd(open(path, open_flags));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0 || !is_ours(info) || !is_private(info)) return unique_fd();
    return fd;
}

// A new lock file where nothing stands; errno EEXIST when something does.
unique_fd create_ours(const char *path) {
    unique_fd fd(open(path, open_flags | O_CREAT | O_EXCL, 0600));
    if (fd) set_private(fd.get()); // the umask may have taken the owner's bits
    return fd;
}

// A new private file renamed over our wider one at `path`; errno set when
// that fails.  Opened with O_EXCL under a fresh name, so nothing planted
// beside the path is ever opened.
unique_fd replace_wider(const char *path) {
    char temporary[sizeof(paths::fixed_path::text) + 8];
    if (std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", path) >= static_cast<int>(sizeof temporary)) {
        errno = ENAMETOOLONG;
        return unique_fd();
    }
    unique_fd fd(mkostemp(temporary, O_CLOEXEC));
    if (!fd) return unique_fd();
    set_private(fd.get());
    if (rename(temporary, path) != 0) {
        const int error = errno;
        unlink(temporary);
        errno = error;
        return unique_fd();
    }
    return fd;
}

// "a symlink of uid 65534" and the like, for the log.
struct description {
    char text[96];
};

description describe(const struct stat &info) {
    const mode_t type = info.st_mode & S_IFMT;
    const char *kind = type == S_IFLNK    ? "a symlink"
                       : type == S_IFDIR  ? "a directory"
                       : type == S_IFIFO  ? "a FIFO"
                       : type == S_IFSOCK ? "a socket"
                       : type == S_IFREG  ? "a file"
                                          : "a device node";
    description d{};
    if (type == S_IFREG && info.st_nlink > 1)
        std::snprintf(d.text, sizeof d.text, "%s of uid %u with %lu links", kind, static_cast<unsigned>(info.st_uid),
                      static_cast<unsigned long>(info.st_nlink));
    else
        std::snprintf(d.text, sizeof d.text, "%s of uid %u", kind, static_cast<unsigned>(info.st_uid));
    return d;
}

// Moves a directory that is not empty to a fresh name beside the path:
// removing a user's tree as root is not safe, renaming it is.
bool move_aside(const char *path) {
    char aside[sizeof(paths::fixed_path::text) + 48];
    for (int i = 0; i < passes; ++i) {
        std::snprintf(aside, sizeof aside, "%s.moved.%ld.%d", path, static_cast<long>(getpid()), i);
        if (renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) == 0) {
            kxnet_log("libkxnet: moved %s to %s", path, aside);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Removes the foreign entry lstat found at `path`.
bool remove_foreign(const char *path, const struct stat &info) {
    if (!S_ISDIR(info.st_mode)) return unlink(path) == 0;
    if (rmdir(path) == 0) return true;
    if (errno != ENOTEMPTY && errno != EEXIST) return false;
    return move_aside(path);
}

// Errors of a removal that only mean the entry changed since lstat.
bool entry_changed(int error) { return error == ENOENT || error == EISDIR || error == ENOTDIR; }

// The guard: an flock on a file in a root-only directory, held only while
// the lock file is removed or created.  Nothing with `error` set when it
// cannot be taken.
unique_fd take_guard(int &error) {
    const paths::fixed_path path = paths::rooted_fixed(paths::lock_guard);
    unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd && flock_retry(fd.get(), LOCK_EX) == 0) return fd;
    error = errno;
    return unique_fd();
}

// No guard to be had: create a missing file, replace nothing.
unique_fd create_unguarded(const char *path, int guard_error) {
    if (unique_fd fd = create_ours(path)) return fd;
    if (errno != EEXIST) return unique_fd();
    if (unique_fd fd = open_ours(path)) return fd; // another caller made it just now
    struct stat info {};
    if (lstat(path, &info) == 0)
        kxnet_log("libkxnet: cannot replace %s at %s without %s (errno %d)", describe(info).text, path,
                  paths::rooted_fixed(paths::lock_guard).c_str(), guard_error);
    return unique_fd();
}

// One guarded pass: ours when it can be had, nothing with `done` set when
// the pass ends the call in failure, nothing with `done` clear when the
// entry changed and another pass is due.
unique_fd guarded_pass(const char *path, bool &done) {
    done = true;
    if (unique_fd fd = open_ours(path)) return fd;
    struct stat info {};
    if (lstat(path, &info) != 0) {
        if (errno != ENOENT) return unique_fd();
        unique_fd fd = create_ours(path);
        done = fd || errno != EEXIST; // a missing directory fails quietly
        return fd;
    }
    const description what = describe(info);
    if (is_ours(info) && !is_private(info)) {
        unique_fd fd = replace_wider(path);
        if (fd)
            kxnet_log("libkxnet: replaced %s with mode %04o at %s", what.text, static_cast<unsigned>(info.st_mode & 07777),
                      path);
        else
            kxnet_log("libkxnet: cannot replace %s at %s (errno %d)", what.text, path, errno);
        return fd;
    }
    // Ours, yet it would not open: a failure of the system, never replaced.
    if (is_ours(info)) return unique_fd();
    if (!remove_foreign(path, info)) {
        int error = errno;
        done = !entry_changed(error);
        if (done) kxnet_log("libkxnet: cannot replace %s at %s (errno %d)", what.text, path, error);
        return unique_fd();
    }
    unique_fd fd = create_ours(path);
    if (fd) {
        kxnet_log("libkxnet: replaced %s at %s", what.text, path);
        return fd;
    }
    int error = errno;
    done = error != EEXIST; // EEXIST: a user planted again at once
    if (done) kxnet_log("libkxnet: cannot replace %s at %s (errno %d)", what.text, path, error);
    return unique_fd();
}

// The lock file made sound under the guard; nothing when that fails.  The
// guard is given back before the caller waits in flock.
unique_fd make_under_guard(const char *path) {
    int guard_error = 0;
    unique_fd guard = take_guard(guard_error);
    if (!guard) {
        if (guard_error == ENOENT) return create_unguarded(path, guard_error);
        kxnet_log("libkxnet: cannot take %s (errno %d)", paths::rooted_fixed(paths::lock_guard).c_str(), guard_error);
        return unique_fd();
    }
    for (int pass = 0; pass < passes; ++pass) {
        bool done = false;
        unique_fd fd = guarded_pass(path, done);
        if (fd || done) return fd;
    }
    kxnet_log("libkxnet: %s keeps changing", path);
    return unique_fd();
}

// Whether `path` still names the inode open on `fd`.
bool still_at_path(int fd, const char *path) {
    struct stat held {}, named {};
    return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && same_inode(held, named);
}

} // namespace

bool is_host_lock_file(int fd) { return still_at_path(fd, paths::rooted_fixed(paths::lock).c_str()); }

int lock_host_file(int operation, int &fd_out) {
    fd_out = -1;
    const paths::fixed_path path = paths::rooted_fixed(paths::lock);
    for (int pass = 0; pass < passes; ++pass) {
        unique_fd fd = open_ours(path.c_str());
        if (!fd) fd = make_under_guard(path.c_str());
        if (!fd) return -EIO;
        if (flock_retry(fd.get(), operation) != 0) {
            fd_out = fd.release();
            return -ENOLCK;
        }
        if (still_at_path(fd.get(), path.c_str())) {
            fd_out = fd.release();
            return 0;
        }
        // The file was removed while we waited (a cleaner of the directory):
        // closing drops its flock, and the next pass meets the path anew.
    }
    kxnet_log("libkxnet: %s keeps changing", path.c_str());
    return -EAGAIN;
}

} // namespace kx
