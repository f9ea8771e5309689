// Offload settings through SIOCETHTOOL: each read or write opens its own
// datagram socket, issues the five legacy ethtool commands in a fixed order
// and logs every failure; callers never learn of one.
#include "devices/offloads.h"

#include "frame/log.h"
#include "sys/error.h"
#include "sys/fd.h"

#include <cerrno>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace kx {

static_assert(SIOCETHTOOL == 0x8946);
static_assert(ETHTOOL_GRXCSUM == 0x14 && ETHTOOL_SRXCSUM == 0x15);
static_assert(ETHTOOL_GTXCSUM == 0x16 && ETHTOOL_STXCSUM == 0x17);
static_assert(ETHTOOL_GSG == 0x18 && ETHTOOL_SSG == 0x19);
static_assert(ETHTOOL_GTSO == 0x1e && ETHTOOL_STSO == 0x1f);
static_assert(ETHTOOL_GGSO == 0x23 && ETHTOOL_SGSO == 0x24);

namespace {

struct offload_setting {
    uint32_t hwcs_config::*field;
    uint32_t read_command;
    uint32_t write_command;
    const char *read_label;  // as the read failure names it
    const char *write_label; // as the write failure names it
};

// The order in which the settings are read and written.
constexpr offload_setting settings[] = {
    {&hwcs_config::rxcsum, ETHTOOL_GRXCSUM, ETHTOOL_SRXCSUM, "RXCSUM", "RXCSUM"},
    {&hwcs_config::txcsum, ETHTOOL_GTXCSUM, ETHTOOL_STXCSUM, "TXCSUM", "TXCSUM"},
    {&hwcs_config::sg, ETHTOOL_GSG, ETHTOOL_SSG, "SG", "SG"},
    {&hwcs_config::tso, ETHTOOL_GTSO, ETHTOOL_STSO, "GTSO", "TSO"},
    {&hwcs_config::gso, ETHTOOL_GGSO, ETHTOOL_SGSO, "GGSO", "GSO"},
};

bool fits_device_name(const char *name) { return name != nullptr && strnlen(name, IFNAMSIZ) < IFNAMSIZ; }

// A socket of its own for this call; a failure is logged and the requests
// then fail on the invalid descriptor, each logged in turn.
unique_fd ethtool_socket(const char *operation) {
    unique_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) kxnet_log("ERROR: %s: Unable to create socket", operation);
    return sock;
}

// One SIOCETHTOOL request with a value block: 0, or the negative errno
// (errno itself is left for the failure line).
int ethtool_request(int sock, const char *name, ethtool_value &value) {
    ifreq request{};
    std::memcpy(request.ifr_name, name, std::strlen(name));
    request.ifr_data = reinterpret_cast<char *>(&value);
    return ioctl(sock, SIOCETHTOOL, &request) < 0 ? failed_errno() : 0;
}

} // namespace

void get_if_hwcscfg(const char *name, hwcs_config &config) {
    if (!fits_device_name(name)) {
        kxnet_log("ERROR: get_if_hwcscfg: Invalid device name %s", show(name));
        return;
    }
    unique_fd sock = ethtool_socket("get_if_hwcscfg");
    config = hwcs_config{};
    for (const offload_setting &setting : settings) {
        ethtool_value value{setting.read_command, 0};
        if (ethtool_request(sock.get(), name, value) == 0)
            config.*setting.field = value.data;
        else
            kxnet_log("ERROR: get_if_hwcscfg: Unable to get %s on %s: errno=%d", setting.read_label, name, errno);
    }
}

void set_if_hwcscfg(const char *name, const hwcs_config &config) {
    if (!fits_device_name(name)) {
        kxnet_log("ERROR: set_if_hwcscfg: Invalid device name %s", show(name));
        return;
    }
    unique_fd sock = ethtool_socket("set_if_hwcscfg");
    for (const offload_setting &setting : settings) {
        ethtool_value value{setting.write_command, config.*setting.field};
        if (ethtool_request(sock.get(), name, value) != 0)
            kxnet_log("ERROR: set_if_hwcscfg: Unable to set %s on %s: errno=%d", setting.write_label, name, errno);
    }
}

void copy_offloads_to_port(const char *, const char *port, const hwcs_config &config) {
    set_if_hwcscfg(port, config);
}

} // namespace kx
