// The library's one internal error convention: a step answers 0 on success
// or a negative errno.  Result codes (KXNET_*) are made from these only by
// the exported operations and the call frame.
#pragma once

#include <cerrno>

namespace kx {

// The failure of the system call just made as a step's answer: -errno, or
// -EIO when the call left errno at 0 (a failure must never read as success).
inline int failed_errno() { return errno != 0 ? -errno : -EIO; }

} // namespace kx
