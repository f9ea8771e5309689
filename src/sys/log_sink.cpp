// The installed log sink and the one call that writes to it.
#include "sys/log_sink.h"

#include <atomic>

namespace kx {

namespace {

std::atomic<log_sink> installed{nullptr};

} // namespace

void set_log_sink(log_sink sink) noexcept { installed.store(sink, std::memory_order_release); }

void sys_log(const char *format, ...) noexcept {
    const log_sink sink = installed.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    va_list args;
    va_start(args, format);
    sink(format, args);
    va_end(args);
}

} // namespace kx
