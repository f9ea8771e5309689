// The library's log: one line per message appended to /var/log/kxnetcfg.log.
#pragma once

#include <cstddef>

// Writes "MM-DD HH:MM:SS.mmm\tpid\tppid\tmessage\n"; never fails its caller.
void kxnet_log(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));

namespace kx {

// Longest message kept; longer ones are cut.
inline constexpr std::size_t log_message_max = 1022;

// A printable stand-in for a string argument that may be null.
inline const char *show(const char *s) { return s != nullptr ? s : "(null)"; }

} // namespace kx
