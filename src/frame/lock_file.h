// Opening and locking the host lock file, which sits in a world-writable
// directory where any user may plant names.
#pragma once

namespace kx {

// Opens the host lock file and takes `operation` (LOCK_EX or LOCK_SH) on it.
// 0: `fd` holds the locked file.  -ENOLCK: flock failed; `fd` is the open
// file for the caller to close.  -EIO: no lock file could be opened soundly,
// -EAGAIN: it kept being replaced; `fd` is -1.
// Allocates nothing.
int lock_host_file(int operation, int &fd);

// Whether `fd` is still the lock file at its path (a caller that took the
// flock itself after a wait checks it, as lock_host_file does).
bool is_host_lock_file(int fd);

} // namespace kx
