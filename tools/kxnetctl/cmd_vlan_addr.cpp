// vlan add, vlan del and addr set: VLAN devices and host addresses.
#include "commands.h"

#include "input.h"
#include "kernel.h"
#include "kxnet_ct.h"
#include "library_call.h"
#include "outcome.h"

#include <cstdio>

namespace kxnetctl {

namespace {

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

} // namespace

int vlan_add(const output &out, const std::string &device, const std::string &vid_text) {
    if (auto why = bad_device_name("device", device)) return refuse(*why);
    auto vid = parse_vlan_id(vid_text);
    if (!vid) return refuse("VLAN id " + in_quotes(vid_text) + " is not a number from 0 to 4095");
    char name[16] = {};
    int code = library_call([&] { return kxnet_vlan_new(device.c_str(), *vid, name, sizeof name); });
    if (code == KXNET_OK) {
        if (out.json)
            print_done(out, {{"device", device}, {"vlan_id", *vid}, {"name", name}});
        else
            std::printf("VLAN %u over %s is %s\n", *vid, device.c_str(), name);
        return status_ok;
    }
    return fail_for(code, "cannot add VLAN " + std::to_string(*vid) + " over " + in_quotes(device) + ": ",
                    {{KXNET_ERR_NOT_FOUND, "there is no device " + in_quotes(device)},
                     {KXNET_ERR_DOWN, "the device is down"},
                     {KXNET_ERR_EXISTS, "a device " + in_quotes(name) + " exists already"},
                     {KXNET_ERR_INVALID, "the kernel refused to create it (is the 8021q module loaded?)"},
                     {KXNET_ERR_SYSTEM, "its registry entry or ifcfg file could not be written " + see_log()}});
}

int vlan_del(const output &out, const std::string &name) {
    if (auto why = bad_device_name("VLAN device", name)) return refuse(*why);
    int code = library_call([&] { return kxnet_vlan_del(name.c_str()); });
    return finish(out, code, {{"name", name}}, "cannot remove VLAN " + in_quotes(name) + ": ",
                  {{KXNET_ERR_NOT_FOUND, "it is not a VLAN device"}, {KXNET_ERR_INVALID, "the kernel refused to remove it"}});
}

int addr_set(const output &out, const std::string &device, const std::string &address) {
    if (auto why = bad_device_name("device", device)) return refuse(*why);
    if (!is_address_argument(address))
        return refuse("address " + in_quotes(address) + " is neither \"dhcp\" nor an IPv4 address with an optional /0-32 prefix");
    int code = library_call([&] { return compat_kxnet_addr_set(device.c_str(), address.c_str()); });
    return finish(out, code, {{"device", device}, {"address", address}},
                  "cannot set " + in_quotes(address) + " on " + in_quotes(device) + ": ",
                  {{KXNET_ERR_NOT_FOUND, "there is no device " + in_quotes(device)},
                   {KXNET_ERR_INVALID, "the address is not valid"},
                   {KXNET_ERR_SYSTEM, address == "dhcp" ? "ifdown/ifup failed for the device" : "the kernel refused it"}});
}

} // namespace kxnetctl
