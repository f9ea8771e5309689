// network add, del, rename and bridge: the network lifecycle calls, with
// each refusal turned into words about the network or bridge concerned.
#include "commands.h"

#include "input.h"
#include "kernel.h"
#include "kxctl.h"
#include "kxnet_ct.h"
#include "library_call.h"
#include "outcome.h"

#include <cstdio>
#include <cstring>

namespace kxnetctl {

namespace {

bool registered(const std::string &id) {
    auto networks = configured_networks();
    if (!networks) return false;
    for (const auto &n : *networks)
        if (n.network_id == id) return true;
    return false;
}

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

int lock_or_system(int code, const std::string &what) { return fail_code(code, what + ": " + code_words(code)); }

int invalid_id(const std::string &id) {
    return fail_code(KXNET_ERR_INVALID, "network id " + in_quotes(id) + " is not valid (the container library refuses it)");
}

} // namespace

void print_done(const output &out, nlohmann::json fields) {
    if (!out.json) return;
    fields["ok"] = true;
    print_json(fields);
}

int finish(const output &out, int code, nlohmann::json done, const std::string &what,
           std::initializer_list<reason> reasons) {
    if (code != KXNET_OK) return fail_for(code, what, reasons);
    print_done(out, std::move(done));
    return status_ok;
}

int network_add(const output &out, const std::string &id, const std::optional<std::string> &bridge) {
    if (bridge)
        if (auto why = bad_device_name("bridge", *bridge)) return refuse(*why);
    char name[16] = {};
    if (bridge) std::strncpy(name, bridge->c_str(), sizeof name - 1);
    int code = library_call([&] { return kxnet_br_new(id.c_str(), name); });
    switch (code) {
    case KXNET_OK:
        if (out.json)
            print_done(out, {{"network_id", id}, {"bridge", name}});
        else
            std::printf("network %s on bridge %s\n", in_quotes(id).c_str(), name);
        return status_ok;
    case KXNET_ERR_INVALID: return invalid_id(id);
    case KXNET_ERR_EXISTS:
        if (bridge && !registered(id)) return fail_code(code, "bridge " + in_quotes(*bridge) + " already exists");
        return fail_code(code, "network " + in_quotes(id) + " already exists");
    default: return lock_or_system(code, "could not add network " + in_quotes(id));
    }
}

int network_del(const output &out, const std::string &id) {
    int code = library_call([&] { return kxnet_br_del(id.c_str()); });
    switch (code) {
    case KXNET_OK: print_done(out, {{"network_id", id}}); return status_ok;
    case KXNET_ERR_NOT_FOUND: return fail_code(code, "network " + in_quotes(id) + " does not exist");
    default: return lock_or_system(code, "could not remove network " + in_quotes(id));
    }
}

int network_rename(const output &out, const std::string &id, const std::string &new_id) {
    int code = library_call([&] { return kxnet_br_change(id.c_str(), new_id.c_str()); });
    switch (code) {
    case KXNET_OK: print_done(out, {{"network_id", new_id}, {"previous_network_id", id}}); return status_ok;
    case KXNET_ERR_NOT_FOUND: return fail_code(code, "network " + in_quotes(id) + " does not exist");
    case KXNET_ERR_EXISTS: return fail_code(code, "network " + in_quotes(new_id) + " already exists");
    case KXNET_ERR_INVALID: return invalid_id(kxctl_is_networkid_valid(id.c_str()) ? new_id : id);
    case KXNET_ERR_SYSTEM:
        return fail_code(code, "network " + in_quotes(id) + " is now " + in_quotes(new_id) +
                                   " in the registry, but a container configuration could not be rewritten");
    default: return lock_or_system(code, "could not rename network " + in_quotes(id));
    }
}

int network_bridge(const output &out, const std::string &id) {
    auto bridge = bridge_of(id);
    if (!bridge) {
        if (!registered(id)) return fail_code(KXNET_ERR_NOT_FOUND, "network " + in_quotes(id) + " does not exist");
        return fail_code(KXNET_ERR_NOT_FOUND, "network " + in_quotes(id) + " has no bridge device on the host");
    }
    if (out.json)
        print_json({{"network_id", id}, {"bridge", *bridge}});
    else
        std::printf("%s\n", bridge->c_str());
    return status_ok;
}

} // namespace kxnetctl
