// The configuration walk over one container, written once for every user
// (the re-attach walk, the rename walk, the collector): path, open, parse,
// parameters; the caller acts; then the parameters are freed and the handle
// closed, on every path.
#pragma once

#include "frame/kxctl_owned.h"

#include <cstddef>
#include <optional>
#include <string>

namespace kx {

// One container's configuration, open, with its parsed parameters.  The
// parameters are declared after the handle, so they are freed before it closes.
struct container_conf {
    std::string path;
    kxctl_conf_ptr conf;
    kxctl_param_ptr param;
};

// Opens container `ctid`'s configuration: its path into a buffer of
// `path_size` bytes (at most 4096), opened in `mode`, parsed, parameters
// read.  None when a step fails; what it had taken is released.
std::optional<container_conf> open_container_conf(uint32_t ctid, std::size_t path_size, int mode);

// Visits the entries of the parameters' virtual Ethernet list in order until
// `visit` answers true; an absent list visits nothing.
template <class Visit>
void for_each_container_veth(kxctl_env_param &param, Visit &&visit) {
    if (param.veth_list == nullptr) return;
    for (kxctl_link *at = param.veth_list->next; at != param.veth_list; at = at->next)
        if (visit(*reinterpret_cast<kxctl_veth *>(at))) return;
}

} // namespace kx
