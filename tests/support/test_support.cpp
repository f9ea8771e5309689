// Scratch roots, file helpers and log reading for both test lanes.
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace kxtest {

scratch_root::scratch_root() {
    if (const char *old = getenv("KXNET_ROOT")) {
        had_previous_ = true;
        previous_ = old;
    }
    char pattern[] = "/tmp/kxnet-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    make_dirs(path_ + "/var/log");
    make_dirs(path_ + "/tmp");
    setenv("KXNET_ROOT", path_.c_str(), 1);
}

scratch_root::~scratch_root() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    if (had_previous_)
        setenv("KXNET_ROOT", previous_.c_str(), 1);
    else
        unsetenv("KXNET_ROOT");
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content, int mode) {
    make_dirs(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool file_exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

void make_dirs(const std::string &path) {
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(path, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

static std::string log_path() {
    const char *root = getenv("KXNET_ROOT");
    return std::string(root != nullptr ? root : "") + "/var/log/kxnetcfg.log";
}

std::vector<std::string> log_messages() {
    std::vector<std::string> messages;
    std::istringstream in(read_file(log_path()));
    std::string line;
    while (std::getline(in, line)) {
        // An empty line follows a message that ended in its own newline.
        size_t cut = 0;
        int tabs = 0;
        while (tabs < 3 && (cut = line.find('\t', cut)) != std::string::npos) {
            ++cut;
            ++tabs;
        }
        messages.push_back(tabs == 3 ? line.substr(cut) : line);
    }
    return messages;
}

void clear_log() { write_file(log_path(), ""); }

} // namespace kxtest
