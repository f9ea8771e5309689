// The container kernel's pair list "/proc/kx/veth": read into the library's
// pair list for the re-attach walk, and handed pair by pair to whoever above
// wants to see it (the information query reports both ends).
#pragma once

#include "sys/kernel_lines.h"

#include <cstdint>
#include <string_view>

namespace kx {

// Receives one pair: the host-side device, the container-side device and
// the container id.
using pair_sink = void (*)(const char *host, const char *ct, int32_t ctid);

// Rereads "/proc/kx/veth" into the registry's pair list; every pair also
// goes to `report` when one is given.  A missing or unknown list changes
// nothing.
void read_pair_list(pair_sink report = nullptr);

// Opens a pair list file of the container kernel and reads its header;
// empty unless the header is the one this reader understands.
kernel_file open_pair_list(std::string_view documented);

} // namespace kx
