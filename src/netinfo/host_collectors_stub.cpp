// Temporary stand-in for the host collectors: only the pair list reader,
// without store reports, so the bridge code links and can be tested until
// the collectors themselves arrive.
#include "netinfo/host_collectors.h"

#include "frame/paths.h"
#include "registry/model.h"

#include <fstream>
#include <sstream>
#include <string>

namespace kx {

void read_proc_veth(int /*update*/) {
    registry_guard guard;
    veth_pairs_clear();
    std::ifstream in(paths::rooted(paths::proc_veth));
    std::string line;
    if (!std::getline(in, line)) return; // "Version: 1.0"
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string first, host, third, ct;
        int32_t ctid = 0;
        if (fields >> first >> host >> third >> ct >> ctid) veth_pair_add(host.c_str(), ct.c_str(), ctid);
    }
}

} // namespace kx
