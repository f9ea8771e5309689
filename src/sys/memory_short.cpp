// The process's memory-shortage note.
#include "sys/memory_short.h"

#include <atomic>
#include <cerrno>

namespace kx {

namespace {

std::atomic<bool> short_of_memory{false};

} // namespace

void note_memory_short() noexcept { short_of_memory.store(true, std::memory_order_relaxed); }
void clear_memory_short() noexcept { short_of_memory.store(false, std::memory_order_relaxed); }
bool memory_short() noexcept { return short_of_memory.load(std::memory_order_relaxed); }

void note_if_memory_short(int errno_value) noexcept {
    if (errno_value == ENOMEM) note_memory_short();
}

} // namespace kx
