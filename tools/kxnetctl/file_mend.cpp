// Writing a missing ifcfg file again: the subject looked up afresh in the
// registry and the kernel under the host lock, then the library's writer
// (one rename, so a failure leaves no file and no temporary behind) and its
// address rewrite for the device's registered addresses.
#include "file_mend.h"

#include "kernel.h"
#include "outcome.h"

#include "frame/frame.h"
#include "ifcfg/ifcfg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kxnetctl {

namespace {

bool registered_bridge(const std::string &bridge) {
    const auto bridges = registered_bridges();
    return std::find(bridges.begin(), bridges.end(), bridge) != bridges.end();
}

// The registered VLAN whose device is `name`, when its device stands.
std::optional<vlan_device> registered_vlan_device(const std::string &name) {
    for (const auto &k : kernel_vlans()) {
        if (k.name != name) continue;
        for (const auto &v : registered_vlans())
            if (v.parent == k.parent && v.id == k.id) return k;
    }
    return std::nullopt;
}

// The write itself, under the lock: 0, a negative errno, or 1 when there is
// nothing to write any more (the file came back or the subject went away).
int write_device_file(const finding &f) {
    const std::string &device = f.subject;
    if (!f.network_id.empty()) return registered_bridge(device) ? kx::ifcfg_write_bridge(device.c_str()) : 1;
    auto vlan = registered_vlan_device(device);
    return vlan ? kx::ifcfg_write_vlan(vlan->parent, vlan->name) : 1;
}

int write_under_lock(const finding &f) {
    const std::string &device = f.subject;
    if (kx::ifcfg_present(device.c_str()) || !device_exists(device)) return 1;
    if (const int written = write_device_file(f); written != 0) return written;
    // The file as the library left it: each registered address of the
    // device written in as compat_kxnet_addr_set writes it, in order.  A
    // failure takes the new file away again: the host is as it was.
    for (const auto &address : registered_addresses(device)) {
        if (const int error = kx::ifcfg_set_address(device.c_str(), address.c_str()); error != 0) {
            kx::ifcfg_remove(device.c_str());
            return error;
        }
    }
    return 0;
}

} // namespace

bool write_missing_file(const finding &f, std::string &why) {
    int error = 0;
    const int code = kx::framed_code(
        kx::lock_mode::exclusive, [&] { return (error = write_under_lock(f)) < 0 ? KXNET_ERR_SYSTEM : KXNET_OK; },
        [&](int) {
            if (error == 0) kxnet_log("kxnetctl: wrote the missing ifcfg file of \"%s\" again", f.subject.c_str());
            else if (error < 0)
                kxnet_log("kxnetctl: cannot write the ifcfg file of \"%s\" again, err = %d", f.subject.c_str(), error);
        });
    if (code == KXNET_OK) return true;
    why = "ifcfg file " + ifcfg_path(f.subject) + " not written again (" +
          (error < 0 ? std::strerror(-error) : code_words(code)) + "); nothing was changed";
    return false;
}

} // namespace kxnetctl
