// Diverting standard error around one library call into an anonymous file.
#include "library_call.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace kxnetctl {

namespace {

std::string last_words;

// Standard error pointed at an anonymous file for the object's lifetime.
class diverted_stderr {
public:
    diverted_stderr() {
        std::fflush(stderr);
        file_ = memfd_create("kxnetctl-stderr", MFD_CLOEXEC);
        saved_ = file_ >= 0 ? dup(STDERR_FILENO) : -1;
        if (saved_ < 0 || dup2(file_, STDERR_FILENO) < 0) restore();
    }
    ~diverted_stderr() { restore(); }
    diverted_stderr(const diverted_stderr &) = delete;
    diverted_stderr &operator=(const diverted_stderr &) = delete;

    // Puts standard error back and answers what was written meanwhile.
    std::string finish() {
        std::fflush(stderr);
        std::string text;
        if (file_ >= 0 && saved_ >= 0) {
            char buf[1024];
            ssize_t n;
            off_t at = 0;
            while ((n = pread(file_, buf, sizeof buf, at)) > 0) {
                text.append(buf, static_cast<size_t>(n));
                at += n;
            }
        }
        restore();
        return text;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
        if (file_ >= 0) {
            close(file_);
            file_ = -1;
        }
    }
    int file_ = -1;
    int saved_ = -1;
};

std::string one_line(const std::string &text) {
    std::string line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        if (!part.empty()) line += (line.empty() ? "" : "; ") + part;
        start = end + 1;
    }
    return line;
}

} // namespace

int library_call(const std::function<int()> &call) {
    diverted_stderr diversion;
    int code = call();
    std::string said = diversion.finish();
    last_words = code != 0 ? one_line(said) : "";
    if (code == 0 && !said.empty()) std::fputs(said.c_str(), stderr);
    return code;
}

const std::string &library_words() { return last_words; }

} // namespace kxnetctl
