// Creating and removing 802.1Q VLAN devices: the exported operations and their
// already-locked bodies.  A VLAN lives as a registry entry, an ifcfg file and
// a kernel device, made in that order and saved last; a device the kernel
// refuses takes its ifcfg file and registry entry with it.
#include "frame/frame.h"
#include "frame/log.h"
#include "frame/names.h"
#include "ifcfg/ifcfg.h"
#include "kxnet_ct.h"
#include "netinfo/store.h"
#include "netops/outcome_lines.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"
#include "vlan/naming.h"
#include "vlan/vlan_device.h"

#include <cstring>
#include <net/if.h>

namespace kx {

namespace {

inline constexpr unsigned vlan_id_max = 4095;

// On SuSE the kernel names VLAN devices "vlan<id>": switch it there once.
// 0 or the request's negative errno.
int force_suse_naming(int sock) {
    if (state().suse_flag == 0) return 0;
    if (int error = vlan_force_name_type(sock); error != 0) return error;
    vlan_name_type() = 2;
    return 0;
}

// Copies the new device's name to the caller's buffer when it has room for
// any device name (zero-padded to `length`); shorter buffers stay untouched.
void hand_out_name(const char (&name)[16], char *buffer, int length) {
    if (buffer == nullptr || length < IFNAMSIZ) return;
    std::strncpy(buffer, name, static_cast<size_t>(length));
}

int new_vlan(const char *device, unsigned vid, char *buffer, int length) {
    if (!name_accepted(device) || vid > vlan_id_max) return KXNET_ERR_INVALID;
    ctl_socket_holder hold;
    if (!hold) return KXNET_ERR_SYSTEM;
    int sock = hold.socket();
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    if (force_suse_naming(sock) != 0) return KXNET_ERR_SYSTEM;

    const device_state parent_state = probe_device_state(sock, device);
    if (parent_state == device_state::missing) return KXNET_ERR_NOT_FOUND;
    if (parent_state == device_state::down) return KXNET_ERR_DOWN;

    char name[16];
    vlan_device_name(device, vid, name);
    hand_out_name(name, buffer, length);
    if (probe_device_state(sock, name) != device_state::missing) return KXNET_ERR_EXISTS;

    vlan_parent *parent = vlan_add(device, static_cast<int32_t>(vid));
    if (parent == nullptr) return KXNET_ERR_SYSTEM;
    const vlan_entry *entry = vlan_find(parent, static_cast<int32_t>(vid));
    if (entry == nullptr || ifcfg_write_vlan(parent->name(), entry->name) != 0) return KXNET_ERR_SYSTEM;

    if (vlan_create_device(sock, device, vid) != 0) {
        ifcfg_remove(name);
        vlan_remove(parent, entry);
        return KXNET_ERR_INVALID;
    }
    if (registry_save() != 0) {
        // A VLAN the registry does not know of would never be restored.
        vlan_delete_device(sock, name);
        ifcfg_remove(name);
        vlan_remove(parent, entry);
        return KXNET_ERR_SYSTEM;
    }
    return KXNET_OK;
}

// Drops every registry trace of VLAN device `name`: its VLAN entry (when the
// registry knows its parent and id), its place in a network, its addresses.
void forget_vlan(const char *name, vlan_parent *parent, const vlan_entry *entry) {
    if (parent != nullptr && entry != nullptr) vlan_remove(parent, entry);
    if (network *network = network_find_by_iface(name)) {
        registry_guard guard;
        network_iface_remove(network, name);
    }
    if (addr_parent *addrs = addr_find_parent(name)) addr_parent_remove(addrs);
}

int delete_vlan(const char *name) {
    if (!name_accepted(name)) return KXNET_ERR_INVALID;
    ctl_socket_holder hold;
    if (!hold) return KXNET_ERR_SYSTEM;
    int sock = hold.socket();

    char real_device[16];
    if (vlan_real_device(sock, name, real_device) < 0) return KXNET_ERR_NOT_FOUND;
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    vlan_parent *parent = vlan_find_parent(real_device);
    const vlan_entry *entry = nullptr;
    if (parent != nullptr) {
        int vid = 0;
        if (vlan_device_id(sock, name, vid) < 0) return KXNET_ERR_NOT_FOUND;
        entry = vlan_find(parent, vid);
    }

    if (vlan_delete_device(sock, name) < 0) return KXNET_ERR_INVALID;
    ifcfg_remove(name);
    forget_vlan(name, parent, entry);
    return registry_save() != 0 ? KXNET_ERR_SYSTEM : KXNET_OK;
}

} // namespace

} // namespace kx

extern "C" int kxnet_vlan_new_SL(const char *device, unsigned int vlan_id, char *name_buf,
                                 int buf_len) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM},
                       [&] { return kx::new_vlan(device, vlan_id, name_buf, buf_len); });
}

extern "C" int kxnet_vlan_del_SL(const char *vlan_device) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM}, [&] { return kx::delete_vlan(vlan_device); });
}

extern "C" int kxnet_vlan_new(const char *device, unsigned int vlan_id, char *name_buf,
                              int buf_len) noexcept {
    return kx::framed_logged(
        kx::outcome::vlan_added, [&] { return kxnet_vlan_new_SL(device, vlan_id, name_buf, buf_len); },
        static_cast<int>(vlan_id), kx::show(device));
}

extern "C" int kxnet_vlan_del(const char *vlan_device) noexcept {
    return kx::framed_logged(kx::outcome::vlan_removed, [&] { return kxnet_vlan_del_SL(vlan_device); },
                             kx::show(vlan_device));
}
