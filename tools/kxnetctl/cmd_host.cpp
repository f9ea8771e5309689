// host start and host stop: the registered devices (and their registered
// static addresses) restored at host start and shut down at host stop (what
// kxnet.service runs).
#include "commands.h"

#include "api.h"
#include "kernel.h"
#include "kxnet_ct.h"
#include "library_call.h"
#include "outcome.h"

#include <cstdio>

namespace kxnetctl {

namespace {

// The library restores devices, not addresses: where the distribution's
// network scripts read the ifcfg files they set them, and a host without
// them (Debian) would boot without.  Each registered static address missing
// on its device is added; a failure is reported and the start goes on.
void restore_addresses() {
    auto host = query_info(KXNET_INFO_CONFIG | KXNET_INFO_IPV4, selection{});
    if (!host) return;
    for (const auto &r : *host) {
        if (!r.conf_addrs || !device_exists(r.name)) continue;
        for (const auto &wanted : *r.conf_addrs) {
            if (wanted == "dhcp") continue;
            const std::string address = address_with_prefix(wanted);
            bool present = false;
            if (r.addrs)
                for (const auto &a : *r.addrs) present = present || address_with_prefix(a) == address;
            if (present) continue;
            if (!run_program({"ip", "addr", "add", address, "dev", r.name}))
                std::fprintf(stderr, "kxnetctl: cannot restore the address %s on %s\n", address.c_str(), r.name.c_str());
        }
    }
}

} // namespace

int host_start(const output &out) {
    int code = library_call([&] { return kxnet_init_devices(); });
    if (code != KXNET_OK) return fail_code(code, std::string("cannot restore the registered devices: ") + code_words(code));
    restore_addresses();
    print_done(out, {{"host", "started"}});
    return status_ok;
}

int host_stop(const output &out) {
    int code = library_call([&] { return kxnet_destroy_devices(); });
    if (code != KXNET_OK) return fail_code(code, std::string("cannot shut down the registered devices: ") + code_words(code));
    print_done(out, {{"host", "stopped"}});
    return status_ok;
}

} // namespace kxnetctl
