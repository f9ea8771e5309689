// kxnet_log: formats one line and appends it with a single write on an
// O_APPEND descriptor, so lines of concurrent processes never mix.  The file
// is opened and closed per message, which picks up a rotated log at once.
// Everything is formed in fixed buffers: the log runs in destructors and
// where memory has run out, so it never allocates and never throws.
//
// Messages carry callers' strings (names, ids, file contents), so control
// bytes, DEL and the backslash are written as escapes (\n, \t, \r, \\,
// \xNN): every message is one line, and the backslash escape keeps a
// literal "\n" in a name apart from a newline.  The message is cut to 1022
// characters first and then escaped whole.
#include "frame/log.h"

#include "sys/fd.h"
#include "sys/log_sink.h"
#include "sys/paths.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The longest escape of one byte ("\xNN").
constexpr size_t escape_max = 4;

bool needs_escape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

// Writes `text` escaped at `out`, which has room for escape_max bytes per
// byte of text; the number of bytes written.
size_t escape_into(char *out, const char *text, size_t length) {
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!needs_escape(c)) {
            out[at++] = static_cast<char>(c);
            continue;
        }
        out[at++] = '\\';
        switch (c) {
        case '\n': out[at++] = 'n'; break;
        case '\t': out[at++] = 't'; break;
        case '\r': out[at++] = 'r'; break;
        case '\\': out[at++] = '\\'; break;
        default:
            out[at++] = 'x';
            out[at++] = hex[c >> 4];
            out[at++] = hex[c & 0xf];
        }
    }
    return at;
}

// The message of `format`, cut to log_message_max characters; `own_newline`
// tells whether it ends in the newline that ends the format itself, which
// stays a line break (and is not counted in the length).
size_t format_message(char (&message)[1024], bool &own_newline, const char *format, va_list args) {
    own_newline = false;
    message[0] = '\0';
    if (format == nullptr) return 0;
    // At most 1023 bytes including the zero: 1022 characters kept.
    const int wanted = vsnprintf(message, kx::log_message_max + 1, format, args);
    if (wanted < 0) {
        message[0] = '\0';
        return 0;
    }
    size_t length = static_cast<size_t>(wanted);
    if (length > kx::log_message_max) return kx::log_message_max;
    const size_t format_length = std::strlen(format);
    own_newline = length > 0 && message[length - 1] == '\n' && format_length > 0 && format[format_length - 1] == '\n';
    return own_newline ? length - 1 : length;
}

// The log open for appending, when it is a regular file.  Never followed
// through a symlink, never waited on (a FIFO planted there would hold every
// call), never inherited by a command.  A log this call creates gets the
// default creation mode without write access for group and others: anyone
// who could write to it could forge the lines administrators read.
kx::unique_fd open_log(const char *path) {
    constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    for (int pass = 0; pass < 2; ++pass) {
        kx::unique_fd fd(open(path, flags));
        if (!fd && errno == ENOENT) {
            fd.reset(open(path, flags | O_CREAT | O_EXCL, 0644));
            if (!fd && errno == EEXIST) continue; // made by another process meanwhile: open it
        }
        struct stat info {};
        if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return kx::unique_fd();
        return fd;
    }
    return kx::unique_fd();
}

// "MM-DD HH:MM:SS.mmm\tpid\tppid\t" at `out`; its length, 0 when it failed.
size_t line_prefix(char *out, size_t room) {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[128];
    strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S", &local);
    const int length = snprintf(out, room, "%s.%03d\t%ld\t%ld\t", stamp, static_cast<int>(now.tv_usec / 1000),
                                static_cast<long>(getpid()), static_cast<long>(getppid()));
    return length > 0 && static_cast<size_t>(length) < room ? static_cast<size_t>(length) : 0;
}

// One line of `format` and its arguments; the system utilities' sink.
void write_line(const char *format, va_list args) noexcept {
    char message[1024];
    bool own_newline = false;
    const size_t length = format_message(message, own_newline, format, args);

    const kx::paths::fixed_path path = kx::paths::rooted_fixed(kx::paths::log);
    kx::unique_fd fd = open_log(path.c_str());
    if (!fd) return;

    constexpr size_t prefix_room = 256;
    char line[prefix_room + kx::log_message_max * escape_max + 2];
    size_t at = line_prefix(line, prefix_room);
    if (at == 0) return;
    at += escape_into(line + at, message, length);
    if (own_newline) line[at++] = '\n';
    line[at++] = '\n';
    // A short or failed write loses the message; the caller is never told.
    [[maybe_unused]] ssize_t written = write(fd.get(), line, at);
}

// Installed before any call can run: the system utilities log here too.
[[maybe_unused]] const bool sys_lines_logged = (kx::set_log_sink(&write_line), true);

} // namespace

void kxnet_log(const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}
