// The container kernel's pair list, under the sandbox root or in procfs
// where root may write it: a header line
// "Version: 1.0", then one line per pair:
//   <host-hwaddr> <host-dev> <container-hwaddr> <container-dev> <ctid>
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxct {

struct veth_pair_line {
    std::string host_hwaddr;
    std::string host_dev;
    std::string container_hwaddr;
    std::string container_dev;
    uint32_t ctid = 0;
};

// Replaces the pairs of `ctid` by `pairs` (none: the container's pairs are
// dropped), rewriting the file whole; 0 or an errno.  Without a sandbox root
// the kernel's list is written only where root may write it.
int update_veth_table(uint32_t ctid, const std::vector<veth_pair_line> &pairs);

} // namespace kxct
