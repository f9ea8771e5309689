// A file's identity as the kernel reports it (device, inode, size, change
// and modification times): what a cache of something read from a file
// compares to know the file is still the one it read.
#pragma once

#include <ctime>
#include <optional>
#include <sys/stat.h>

namespace kx {

struct file_identity {
    dev_t device{};
    ino_t inode{};
    off_t size{};
    timespec modified{};
    timespec changed{};

    bool operator==(const file_identity &other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// The identity a status query gives.
inline file_identity identity_of(const struct stat &info) {
    return file_identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

// The identity of the regular file at `path`, symbolic links followed as an
// open follows them; none for anything else.  Taken before the file is
// read, so a change made while it is read shows at the next look.
inline std::optional<file_identity> regular_file_identity(const char *path) {
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return identity_of(info);
}

// Whether a file of this identity has been left alone long enough that a
// later rewrite must show in its times: file times tick coarsely, so a file
// rewritten in place within the same tick, at the same size, would look
// unchanged.  Only what is read from a settled file may be kept.
inline bool settled(const file_identity &identity) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    constexpr time_t margin_seconds = 2;
    return identity.changed.tv_sec + margin_seconds < now.tv_sec &&
           identity.modified.tv_sec + margin_seconds < now.tv_sec;
}

} // namespace kx
