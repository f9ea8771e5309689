// The mark of a device the library created: "kxnet" as the device's
// interface alias, set right after a bridge or VLAN device is made.  It is
// the proof that removing the device later loses nothing of an
// administrator's: a bridge the library only adopted, or one made before the
// mark existed, carries none.
#pragma once

namespace kx {

inline constexpr const char *device_mark = "kxnet";

// Sets the mark on device `name`.  0 or a negative errno; callers go on
// without it (the device then only counts as not proven ours).
// Allocates nothing.
int mark_device_ours(const char *name) noexcept;

// Whether device `name` carries the mark.  Allocates nothing.
bool device_marked_ours(const char *name) noexcept;

} // namespace kx
