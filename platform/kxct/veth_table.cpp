// Upkeep of the pair list: lines of other containers are kept as they are.
// Under the sandbox root the file is replaced through a temporary sibling
// and rename; the kernel's list in procfs is rewritten whole in place.
#include "veth_table.h"

#include "layout.h"
#include "owned_fd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kxct {

namespace {

constexpr const char *header = "Version: 1.0";

// The container id of a pair line (fifth field), or -1.
long long line_ctid(const std::string &line) {
    std::istringstream in(line);
    std::string field;
    for (int i = 0; i < 5; ++i)
        if (!(in >> field)) return -1;
    try {
        return std::stoll(field);
    } catch (...) {
        return -1;
    }
}

std::string other_pairs(const std::string &path, uint32_t ctid) {
    std::ifstream in(path);
    std::string kept, line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {
            first = false;
            continue; // the header, rewritten below
        }
        if (line_ctid(line) != static_cast<long long>(ctid)) kept += line + "\n";
    }
    return kept;
}

int replace_file(const std::string &path, const std::string &text) {
    std::string temp = path + ".XXXXXX";
    kxctl::owned_fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return errno;
    bool written = fchmod(fd.get(), 0444) == 0 &&
                   write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int saved = errno;
    if (close(fd.release()) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (written && rename(temp.c_str(), path.c_str()) == 0) return 0;
    if (written) saved = errno;
    unlink(temp.c_str());
    return saved != 0 ? saved : EIO;
}

// One open, one whole text, one close: a procfs list takes what its writer
// leaves as its new content.
int rewrite_in_place(const std::string &path, const std::string &text) {
    kxctl::owned_fd fd(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd) return errno;
    for (size_t done = 0; done < text.size();) {
        ssize_t count = write(fd.get(), text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return count < 0 ? errno : EIO;
        done += static_cast<size_t>(count);
    }
    return close(fd.release()) == 0 ? 0 : errno;
}

} // namespace

int update_veth_table(uint32_t ctid, const std::vector<veth_pair_line> &pairs) {
    std::string path = kxctl::proc_veth_path();
    const bool sandboxed = !kxctl::sandbox_root().empty();
    // Outside a sandbox root the list is the kernel's, in procfs: written
    // where root may write it (the stand-in module's), left alone where it
    // is absent (a stock kernel) or read-only (the container kernel's own).
    if (!sandboxed && access(path.c_str(), W_OK) != 0) return 0;
    if (sandboxed) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
        if (error) return error.value();
    }
    std::string text = std::string(header) + "\n" + other_pairs(path, ctid);
    for (const veth_pair_line &pair : pairs)
        text += pair.host_hwaddr + " " + pair.host_dev + " " + pair.container_hwaddr + " " + pair.container_dev +
                " " + std::to_string(pair.ctid) + "\n";
    return sandboxed ? replace_file(path, text) : rewrite_in_place(path, text);
}

} // namespace kxct
