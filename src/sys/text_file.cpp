// Non-blocking, regular-file-only opens and whole-line reads for every text
// file the library reads.
#include "sys/text_file.h"

#include "sys/fd.h"
#include "sys/memory_short.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace kx {

unique_file open_text_file(const char *path) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return nullptr;
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) return nullptr;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    // Reads of a regular file never block; the flag only mattered for the open.
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags >= 0) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    unique_file stream(fdopen(fd.get(), "r"));
    if (stream)
        fd.release();
    else
        note_if_memory_short(errno);
    return stream;
}

bool read_text_line(std::FILE *stream, std::string &line, std::size_t max, bool *overlong) {
    line.clear();
    if (overlong != nullptr) *overlong = false;
    bool any = false;
    int c = 0;
    while ((c = getc_unlocked(stream)) != EOF) {
        any = true;
        if (c == '\n') return true;
        if (line.size() < max) {
            line.push_back(static_cast<char>(c));
        } else if (overlong != nullptr) {
            *overlong = true;
        }
    }
    return any;
}

} // namespace kx
