// The commands of kxnetctl, one function each.  Every function returns the
// process's exit status (outcome.h) and prints its own result.
#pragma once

#include "api.h"
#include "outcome.h"
#include "output.h"

#include <optional>
#include <string>

namespace kxnetctl {

int network_add(const output &out, const std::string &id, const std::optional<std::string> &bridge);
int network_del(const output &out, const std::string &id);
int network_rename(const output &out, const std::string &id, const std::string &new_id);
int network_list(const output &out, bool tree);
int network_bridge(const output &out, const std::string &id);

int attach(const output &out, const std::string &id, const std::string &iface);
int detach(const output &out, const std::string &iface);

int vlan_add(const output &out, const std::string &device, const std::string &vid);
int vlan_del(const output &out, const std::string &name);

int addr_set(const output &out, const std::string &device, const std::string &address);

struct show_request {
    selection what;
    bool addresses = true;
    bool ipv6 = false;
    bool registry = false;
};
int show(const output &out, const show_request &request);

int host_start(const output &out);
int host_stop(const output &out);

// check --repair mends what it finds, --dry-run says how it would, --prune
// removes orphans too (each implies --repair).
struct check_request {
    bool repair = false;
    bool dry_run = false;
    bool prune = false;
};
int check(const output &out, const check_request &request);

// watch runs the check on every change until SIGTERM or SIGINT: --repair
// mends as check --repair does, --dry-run prints the mends only.
struct watch_request {
    bool repair = false;
    bool dry_run = false;
};
int watch(const watch_request &request);

// Prints {"ok": true, ...fields} for --json; nothing otherwise.
void print_done(const output &out, nlohmann::json fields);
// How a command that prints only its done fields ends: print_done on
// success, else `what` and the reason `reasons` give for the code.
int finish(const output &out, int code, nlohmann::json done, const std::string &what,
           std::initializer_list<reason> reasons);

} // namespace kxnetctl
