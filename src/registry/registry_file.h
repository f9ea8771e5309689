// The registry file "/etc/kx/kxnet.conf": loading it into the in-memory
// lists and saving the lists back through a temporary file and a rename.
#pragma once

#include <cstddef>

namespace kx {

// Receives each configured address as the load reads it: the host device
// and the address text.  The information store passes one down from above.
using conf_addr_sink = void (*)(const char *device, const char *address);

// Empties the registry lists and rebuilds them from the file; refreshes the
// VLAN naming type first.  Every "ADDR_" item read goes to `report_conf_addr`
// when one is given.  0 on success or without a file; a negative errno when
// the file exists but cannot be examined, opened or read whole (the lists
// are then empty), or is not a regular file.
int registry_load(conf_addr_sink report_conf_addr = nullptr) noexcept;

// Writes the lists to a fresh temporary file and renames it over the
// registry, creating a missing registry directory (mode 0755) first.  0, or
// a negative errno after logging "Failed to save kxnet.conf"; a
// failure leaves the previous file whole and no temporary file behind.
int registry_save() noexcept;

// Whether `value` survives a registry line and its reading back whole: no
// double quote, space or control character, since the format escapes nothing.
bool registry_value_fits(const char *value);

// Longest registry line kept by the load; a longer line is skipped whole.
inline constexpr std::size_t registry_line_max = std::size_t{1} << 20;

} // namespace kx
