// Where the system utilities' log lines go: a sink the layer above installs
// (the library installs its log).  Until one is, the lines go nowhere.
// Formatting is left to the sink, so no buffer is needed here.
#pragma once

#include <cstdarg>

namespace kx {

using log_sink = void (*)(const char *format, va_list args) noexcept;

void set_log_sink(log_sink sink) noexcept;

// One line to the sink, printf-style.
void sys_log(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));

} // namespace kx
