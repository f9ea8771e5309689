// A note, kept for the process, that memory ran out somewhere a step could
// only skip what it was doing (a C library call answering ENOMEM, a store
// update, a dump reply).  The information query clears it before a snapshot
// and hands out none when it is set afterwards, so a snapshot missing what
// memory could not hold never passes for the truth.
#pragma once

namespace kx {

void note_memory_short() noexcept;
void clear_memory_short() noexcept;
bool memory_short() noexcept;

// Notes the shortage when `errno_value` is ENOMEM.
void note_if_memory_short(int errno_value) noexcept;

} // namespace kx
