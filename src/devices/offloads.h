// Checksum and segmentation offload settings of a device, read from one
// device and written to another through the kernel's ethtool request, so a
// physical interface and the pair devices sharing its network agree.
#pragma once

#include <cstdint>

namespace kx {

// The five settings as the kernel reports them (0 off, nonzero on).
struct hwcs_config {
    uint32_t rxcsum = 0; // receive checksum
    uint32_t txcsum = 0; // transmit checksum
    uint32_t sg = 0;     // scatter-gather
    uint32_t tso = 0;    // TCP segmentation offload
    uint32_t gso = 0;    // generic segmentation offload
};

// Fills `config` from device `name`; a setting that cannot be read is 0.
// Failures are logged, never reported.  A name that no device can carry
// (null, or longer than 15 characters) leaves `config` untouched.
void get_if_hwcscfg(const char *name, hwcs_config &config);

// Writes every setting of `config` to device `name`, in a fixed order; a
// failed setting is logged and the next one is still written.
void set_if_hwcscfg(const char *name, const hwcs_config &config);

// set_if_hwcscfg(port, config), in the shape of a port walk's step.
void copy_offloads_to_port(const char *bridge, const char *port, const hwcs_config &config);

} // namespace kx
