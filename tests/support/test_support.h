// Helpers shared by the test lanes: scratch sandbox roots, file access, and
// the messages of the library's log.
#pragma once

#include <string>
#include <vector>

namespace kxtest {

// A fresh directory set as KXNET_ROOT for the lifetime of the object.
class scratch_root {
public:
    scratch_root();
    ~scratch_root();
    scratch_root(const scratch_root &) = delete;
    scratch_root &operator=(const scratch_root &) = delete;
    const std::string &path() const { return path_; }
    // `documented` under the root, e.g. at("/etc/kx/kxnet.conf").
    std::string at(const std::string &documented) const { return path_ + documented; }

private:
    std::string path_;
    std::string previous_;
    bool had_previous_ = false;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
bool file_exists(const std::string &path);
void make_dirs(const std::string &path);
std::vector<std::string> list_dir(const std::string &path);

// Messages of the log under the current KXNET_ROOT, stamp, pid and ppid
// stripped, in file order.  An empty message line stays as "".
std::vector<std::string> log_messages();
// Truncates the log.
void clear_log();

} // namespace kxtest
