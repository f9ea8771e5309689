// The automatic bridge name "br<N>": the index search over the registry's
// bridge names and the kernel's devices, and the index of the last bridge
// made this way, kept for the life of the process so names keep climbing.
#include "devices/bridge_device.h"

#include "registry/model.h"
#include "sys/device_probe.h"
#include "sys/error.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>

namespace kx {

namespace {

int32_t last_index = -1;

using used_index_table = std::array<int32_t, bridge_index_max + 1>;

void mark_registry_bridges(used_index_table &table) {
    table.fill(-1);
    registry_guard guard;
    for (const network &record : registry_networks()) {
        int index = -1;
        if (std::sscanf(record.bridge().c_str(), "br%d", &index) == 1 && index >= 0 &&
            index <= bridge_index_max)
            table[index] = index;
    }
}

// Whether a device "br<index>" exists (ENODEV: it does not): 0, or the
// probe's negative errno for any other failure.
int probe_device(int sock, int index, bool &exists) {
    char name[IFNAMSIZ];
    std::snprintf(name, sizeof name, "%s%u", "br", static_cast<unsigned>(index));
    struct ifreq request {};
    copy_ifname(request.ifr_name, name);
    exists = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    if (exists || errno == ENODEV) return 0;
    return failed_errno();
}

} // namespace

int32_t last_bridge_index() { return last_index; }
void set_last_bridge_index(int32_t index) { last_index = index; }

int choose_bridge_index(int sock) {
    used_index_table table;
    mark_registry_bridges(table);

    int candidate = last_index < -1 ? 0 : last_index + 1;
    bool wrapped = false;
    for (;; ++candidate) {
        if (candidate > bridge_index_max) {
            if (wrapped) return -ENOSPC;
            wrapped = true;
            candidate = 1;
        }
        if (table[candidate] != -1) continue;
        bool exists = false;
        if (int error = probe_device(sock, candidate, exists); error != 0) return error;
        if (!exists) return candidate;
    }
}

} // namespace kx
