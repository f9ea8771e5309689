// attach and detach: interfaces into and out of a network's bridge.
#include "commands.h"

#include "input.h"
#include "kernel.h"
#include "kxnet_ct.h"
#include "library_call.h"
#include "outcome.h"

namespace kxnetctl {

namespace {

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

std::optional<network_record> find_network(const std::string &id) {
    auto networks = configured_networks();
    if (networks)
        for (const auto &n : *networks)
            if (n.network_id == id) return n;
    return std::nullopt;
}

} // namespace

int attach(const output &out, const std::string &id, const std::string &iface) {
    if (auto why = bad_device_name("interface", iface)) return refuse(*why);
    int code = library_call([&] { return kxnet_br_attach_CT(id.c_str(), iface.c_str()); });
    if (code == KXNET_OK) {
        print_done(out, {{"network_id", id}, {"interface", iface}});
        return status_ok;
    }
    const std::string what = "cannot attach " + in_quotes(iface) + " to network " + in_quotes(id) + ": ";
    switch (code) {
    case KXNET_ERR_NOT_FOUND:
        if (!device_exists(iface)) return fail_code(code, what + "there is no interface " + in_quotes(iface) + " on the host");
        if (!find_network(id)) return fail_code(code, what + "network " + in_quotes(id) + " does not exist");
        return fail_code(code, what + "the interface is not one that can be attached");
    case KXNET_ERR_BUSY: {
        std::string bridge = bridge_of_port(iface);
        return fail_code(code, what + "it is in use " +
                                   (bridge.empty() ? std::string("by another network") : "as a port of bridge " + in_quotes(bridge)));
    }
    case KXNET_ERR_INVALID: return fail_code(code, what + "it has no hardware address");
    case KXNET_ERR_EXISTS: {
        auto network = find_network(id);
        std::string phys = network ? network->phys_iface : "";
        return fail_code(code, what + "the network already has a physical interface" +
                                   (phys.empty() ? std::string() : " (" + in_quotes(phys) + ")"));
    }
    case KXNET_ERR_SYSTEM:
        return fail_code(code, what + "the bridge refused the port " + see_log());
    default: return fail_code(code, what + code_words(code));
    }
}

int detach(const output &out, const std::string &iface) {
    if (auto why = bad_device_name("interface", iface)) return refuse(*why);
    int code = library_call([&] { return kxnet_br_detach_CT(iface.c_str()); });
    return finish(out, code, {{"interface", iface}}, "cannot detach " + in_quotes(iface) + ": ",
                  {{KXNET_ERR_NOT_FOUND, "there is no interface " + in_quotes(iface) + " on the host"},
                   {KXNET_ERR_INVALID, "it has no hardware address"}});
}

} // namespace kxnetctl
