// replace_file: an unnamed temporary (or, where the file system has no
// O_TMPFILE, a named one), marked as ours, checked writes, fsync, a name,
// one rename, directory fsync; and the sweep that removes only marked
// temporaries a killed writer left.
#include "sys/atomic_file.h"

#include "sys/fd.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kx {

namespace {

constexpr std::string_view name_infix = ".kxnet-";
constexpr std::size_t suffix_length = 6;
// Fresh names tried when one is taken, before giving up with EEXIST.
constexpr int name_attempts = 100;

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Six letters or digits, from the kernel's random pool or, should that be
// unavailable, from the clock, the pid and a counter; a clash only costs a retry.
std::string random_suffix() {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[suffix_length] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<unsigned> counter{0};
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) ^
                                 (static_cast<unsigned long long>(getpid()) << 32) ^ (++counter * 0x9e3779b97f4a7c15ULL);
        for (unsigned char &b : bytes) {
            mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
            b = static_cast<unsigned char>(mix >> 56);
        }
    }
    std::string suffix;
    for (unsigned char b : bytes) suffix += alphabet[b % (sizeof alphabet - 1)];
    return suffix;
}

std::string temporary_name_for(const std::string &base) {
    return "." + base + std::string(name_infix) + random_suffix();
}

std::string directory_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary's name in the directory, removed unless it has been renamed
// into place.
class named_temporary {
public:
    explicit named_temporary(int dir_fd) : dir_fd_(dir_fd) {}
    named_temporary(const named_temporary &) = delete;
    named_temporary &operator=(const named_temporary &) = delete;
    ~named_temporary() {
        if (!name_.empty() && !kept_) unlinkat(dir_fd_, name_.c_str(), 0);
    }
    // Moves, never copies: an allocation failing here would leave the name.
    void adopt(std::string &&name) noexcept { name_ = std::move(name); }
    const std::string &name() const { return name_; }
    void keep() { kept_ = true; }

private:
    int dir_fd_;
    std::string name_;
    bool kept_ = false;
};

// Writes all of `data`; false on any failure (a short write included).
bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Marks the file as a temporary of ours named `name`.  A file system without
// extended attributes, or a caller without CAP_SYS_ADMIN, leaves it unmarked:
// the write goes on, and no sweep will ever take the file for ours.
void mark(int fd, const std::string &name) {
    fsetxattr(fd, temporary_mark, name.data(), name.size(), 0);
}

// Mode, content and fsync of a freshly created temporary; 0 or a negative
// errno.
// The mode is set outright: the umask took bits from the one it was made with.
int fill(int fd, std::string_view content, mode_t mode) {
    if (fchmod(fd, mode & 07777) != 0) return -errno;
    if (!write_all(fd, content)) return -errno;
    if (fsync(fd) != 0) return -errno;
    return 0;
}

// Gives the unnamed file `fd` the name `name` in `dir_fd`.  AT_EMPTY_PATH
// needs CAP_DAC_READ_SEARCH on older kernels; /proc serves everyone else.
bool link_unnamed(int fd, int dir_fd, const std::string &name) {
    if (linkat(fd, "", dir_fd, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, proc.c_str(), dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A file system that cannot make unnamed files in `dir_fd`: an overlay
// before Linux 6.6, a kernel before 3.11, some network file systems.
bool no_unnamed_files(int err) { return err == EOPNOTSUPP || err == ENOTSUP || err == EISDIR || err == EINVAL; }

// What write_unnamed answers where the file system cannot make unnamed files.
constexpr int use_named = -EOPNOTSUPP;

// Writes the content to an unnamed file and names it only when it is whole,
// so a writer killed before that leaves nothing; the name it then gets is
// marked from its first moment.  0, a negative errno, or use_named where the
// file system cannot do this.
int write_unnamed(int dir_fd, const std::string &base, std::string_view content, mode_t mode,
                  named_temporary &temp) {
    unique_fd fd(openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!fd) return no_unnamed_files(errno) ? use_named : -errno;
    std::string name = temporary_name_for(base);
    mark(fd.get(), name);
    if (int err = fill(fd.get(), content, mode)) return err;
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        if (link_unnamed(fd.get(), dir_fd, name)) {
            temp.adopt(std::move(name));
            return close_retry(fd.release()) == 0 ? 0 : -errno;
        }
        if (errno != EEXIST) return use_named;
        name = temporary_name_for(base);
        mark(fd.get(), name);
    }
    return -EEXIST;
}

// The fallback: a named temporary made with O_EXCL, then marked.  A writer
// killed between those two calls leaves an empty unmarked file, which is
// never swept: it cannot be told from someone else's.
int write_named(int dir_fd, const std::string &base, std::string_view content, mode_t mode,
                named_temporary &temp) {
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        std::string name = temporary_name_for(base);
        unique_fd fd(openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && errno == EEXIST) continue;
        if (!fd) return -errno;
        temp.adopt(std::move(name));
        mark(fd.get(), temp.name());
        if (int err = fill(fd.get(), content, mode)) return err;
        return close_retry(fd.release()) == 0 ? 0 : -errno;
    }
    return -EEXIST;
}

// Whether the mark of `path` names `name`: proof that we made the file.
bool marked_as(const std::string &path, const char *name) {
    char value[NAME_MAX + 1];
    ssize_t size = lgetxattr(path.c_str(), temporary_mark, value, sizeof value);
    return size >= 0 && std::string_view(value, static_cast<std::size_t>(size)) == name;
}

bool is_ours(int dir_fd, const std::string &dir, const char *name) {
    struct stat info {};
    if (fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) return false;
    return marked_as(dir + "/" + name, name);
}

// The last component of `path`, without allocating.
const char *last_component(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

struct dir_close {
    void operator()(DIR *dir) const { closedir(dir); }
};

} // namespace

bool is_temporary_name(std::string_view name) {
    const std::size_t tail = name_infix.size() + suffix_length;
    if (name.size() < 2 + tail || name[0] != '.') return false;
    if (name.substr(name.size() - tail, name_infix.size()) != name_infix) return false;
    for (char c : name.substr(name.size() - suffix_length))
        if (!is_alnum(c)) return false;
    return true;
}

void remove_stale_temporaries(const std::string &dir) {
    std::unique_ptr<DIR, dir_close> listing(opendir(dir.c_str()));
    if (!listing) return;
    const int dir_fd = dirfd(listing.get());
    while (const dirent *entry = readdir(listing.get())) {
        if (is_temporary_name(entry->d_name) && is_ours(dir_fd, dir, entry->d_name))
            unlinkat(dir_fd, entry->d_name, 0);
    }
}

int make_directories(const std::string &path) {
    if (mkdir(path.c_str(), 0755) == 0) return chmod(path.c_str(), 0755) == 0 ? 0 : -errno;
    if (errno == EEXIST) return 0;
    if (errno != ENOENT) return -errno;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return -ENOENT;
    if (int err = make_directories(path.substr(0, slash)); err != 0) return err;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
    return chmod(path.c_str(), 0755) == 0 ? 0 : -errno;
}

int replace_file(const std::string &target, std::string_view content, mode_t mode, bool mark_written) {
    const std::string dir = directory_of(target);
    const std::string base = base_of(target);
    unique_fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd) return -errno;
    remove_stale_temporaries(dir);

    named_temporary temp(dir_fd.get());
    int err = write_unnamed(dir_fd.get(), base, content, mode, temp);
    if (err == use_named) err = write_named(dir_fd.get(), base, content, mode, temp);
    if (err != 0) return err;
    // Set before the rename, so the file never stands at its name unmarked;
    // a file system without attributes leaves it unmarked, and so kept.
    if (mark_written) setxattr((dir + "/" + temp.name()).c_str(), written_mark, base.data(), base.size(), 0);
    if (renameat(dir_fd.get(), temp.name().c_str(), dir_fd.get(), base.c_str()) != 0) return -errno;
    temp.keep();
    // The mark belongs to temporaries only.  Left by a kill, it names another
    // file and is harmless.  The new content is in place: a failed directory
    // sync cannot undo that.
    lremovexattr(target.c_str(), temporary_mark);
    fsync(dir_fd.get());
    return 0;
}

bool carries_written_mark(const char *path) {
    struct stat info {};
    if (path == nullptr || lstat(path, &info) != 0) return false;
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) return false;
    char value[NAME_MAX + 1];
    const ssize_t size = lgetxattr(path, written_mark, value, sizeof value);
    const char *name = last_component(path);
    return size >= 0 && static_cast<size_t>(size) == std::strlen(name) && std::memcmp(value, name, size) == 0;
}

} // namespace kx
