// What check finds: each way the kernel and the host's files differ from the
// registry, and each thing the library made that the registry no longer
// names (an orphan), as one record that says what it is, what it was once
// mended, and what mends it.
#pragma once

#include "api.h"

#include <optional>
#include <string>
#include <vector>

namespace kxnetctl {

// How a finding is mended by check --repair.
enum class mend {
    none,      // nothing of ours can: the finding's hint says what to run
    restore,   // kxnet_init_devices, as host start brings devices back
    rewrite,   // a missing ifcfg file written again; the device stays
    attach,    // kxnet_br_attach_CT of a container's host end
    address,   // compat_kxnet_addr_set of the configured address
    prune,     // an orphan, removed only with --prune
};

struct finding {
    std::string kind;       // "bridge-down", "orphan-bridge", ...
    std::string subject;    // the device or file it is about
    std::string message;    // as check prints it
    std::string past;       // as a repair reports it: "bridge br0 of network "web" was down"
    std::string network_id; // the network it belongs to, if any
    std::string address;    // address-missing: the configured text
    enum mend mend = mend::none;
    std::string hint;       // mend::none: what a person can run instead
    bool orphan() const { return mend == mend::prune; }
    bool same(const finding &other) const {
        return kind == other.kind && subject == other.subject && address == other.address;
    }
};

struct tally {
    int networks = 0, vlans = 0, addresses = 0, pairs = 0;
};

// One look at this host: every finding, orphans last, and what was
// checked.  When the library answered nothing, `failure` says which query
// and there are no findings.
struct host_look {
    std::vector<finding> found;
    tally counted;
    std::string failure;
    bool failed() const { return !failure.empty(); }
};
host_look look_at_host();

} // namespace kxnetctl
