// kxnet_log: formats one line and appends it with a single write on an
// O_APPEND descriptor, so lines of concurrent processes never mix.  The file
// is opened and closed per message, which picks up a rotated log at once.
// Everything is formed in fixed buffers: the log runs in destructors and
// where memory has run out, so it never allocates and never throws.
#include "frame/log.h"

#include "frame/fd.h"
#include "frame/paths.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

void kxnet_log(const char *format, ...) noexcept {
    char message[1024] = "";
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        // At most 1023 bytes including the zero: 1022 characters kept.
        vsnprintf(message, kx::log_message_max + 1, format, args);
        va_end(args);
    }

    const kx::paths::fixed_path path = kx::paths::rooted_fixed(kx::paths::log);
    kx::unique_fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return;

    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[128];
    strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S", &local);

    char line[1024 + 256];
    int length = snprintf(line, sizeof line, "%s.%03d\t%ld\t%ld\t%s\n", stamp,
                          static_cast<int>(now.tv_usec / 1000), static_cast<long>(getpid()),
                          static_cast<long>(getppid()), message);
    if (length <= 0) return;
    if (static_cast<size_t>(length) >= sizeof line) length = sizeof line - 1;
    // A short or failed write loses the message; the caller is never told.
    [[maybe_unused]] ssize_t written = write(fd.get(), line, static_cast<size_t>(length));
}
