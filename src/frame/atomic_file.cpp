// replace_file: temporary file, checked writes, fsync, rename, directory fsync;
// and the sweep of temporaries that writers killed before their rename left.
#include "frame/atomic_file.h"

#include "frame/fd.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

// Removes the temporary file unless it has been renamed into place.
class temp_file_guard {
public:
    explicit temp_file_guard(const std::string &path) : path_(path) {}
    temp_file_guard(const temp_file_guard &) = delete;
    temp_file_guard &operator=(const temp_file_guard &) = delete;
    ~temp_file_guard() {
        if (!kept_) unlink(path_.c_str());
    }
    void keep() { kept_ = true; }

private:
    const std::string &path_;
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

std::string directory_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void sync_directory(const std::string &dir) {
    unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) fsync(fd.get());
}

// A name mkstemp could have made from `temp_template`: the same stem, then
// six letters or digits in place of the X's.
bool made_from_template(std::string_view name, std::string_view temp_template) {
    constexpr std::string_view suffix = "XXXXXX";
    if (temp_template.size() < suffix.size() || name.size() != temp_template.size()) return false;
    const std::size_t stem = temp_template.size() - suffix.size();
    if (temp_template.substr(stem) != suffix || name.substr(0, stem) != temp_template.substr(0, stem))
        return false;
    for (char c : name.substr(stem))
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

struct dir_close {
    void operator()(DIR *dir) const { closedir(dir); }
};

bool is_regular_file(int dir_fd, const char *name) {
    struct stat info {};
    return fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

} // namespace

void remove_stale_temporaries(const std::string &dir, std::string_view temp_template) {
    std::unique_ptr<DIR, dir_close> listing(opendir(dir.c_str()));
    if (!listing) return;
    const int dir_fd = dirfd(listing.get());
    while (const dirent *entry = readdir(listing.get())) {
        if (!made_from_template(entry->d_name, temp_template)) continue;
        if (is_regular_file(dir_fd, entry->d_name)) unlinkat(dir_fd, entry->d_name, 0);
    }
}

int replace_file(const std::string &target, std::string_view content, mode_t mode,
                 const char *temp_template) {
    const std::string dir = directory_of(target);
    remove_stale_temporaries(dir, temp_template);
    std::string temp = dir + "/" + temp_template;
    unique_fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return errno;
    temp_file_guard remove_unless_kept(temp);

    if ((mode & 07777) != 0600 && fchmod(fd.get(), mode) != 0) return errno;
    if (!write_all(fd.get(), content)) return errno;
    if (fsync(fd.get()) != 0) return errno;
    if (close_retry(fd.release()) != 0) return errno;
    if (rename(temp.c_str(), target.c_str()) != 0) return errno;
    remove_unless_kept.keep();
    // The new content is in place; a failed directory sync cannot undo that.
    sync_directory(dir);
    return 0;
}

} // namespace kx
