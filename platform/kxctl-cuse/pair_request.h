// The container kernel's pair request as this stand-in answers it: the
// 64-byte record of request 0x40405b03 on /dev/kxctl, checked, and the veth
// pair it asks for, made over rtnetlink in the caller's network namespace.
#pragma once

#include "kxctl_pair.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace kxcuse {


// 0 for a record this stand-in carries out, else EINVAL: a size other than
// 64 bytes, an operation other than "add a pair", a container other than the
// host (0), an address length other than 6, or a name that is empty or not
// terminated within its 16 bytes.
int check_record(const void *data, size_t size, kxctl_pair_record &record);

// Creates the pair in the network namespace of process `pid`: 0 or an errno
// value (the kernel's answer, e.g. EEXIST for a name in use).
int create_pair(pid_t pid, const kxctl_pair_record &record);

} // namespace kxcuse
