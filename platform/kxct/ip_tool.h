// Running iproute2's `ip` from kxct, on the host or inside a container's
// network namespace.
#pragma once

#include <string>
#include <vector>

namespace kxct {

// Runs `ip args...`, inside the namespace file `netns` unless it is empty.
// The exit status (-1 when it could not run or died of a signal); what it
// printed goes to `output` when that is given, else to kxct's output.
int run_ip(const std::vector<std::string> &args, const std::string &netns = {}, std::string *output = nullptr);

} // namespace kxct
