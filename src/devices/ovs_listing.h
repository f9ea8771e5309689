// The bridges Open vSwitch holds and their ports, read from its database in
// one ovs-vsctl call: the query's view of the switch on kernels whose switch
// devices answer no bridge request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct ovs_bridge {
    std::string name;
    std::vector<std::string> ports; // in name order, the bridge's own port left out
};

// The bridges and ports of the switch, or none when ovs-vsctl does not answer.
std::optional<std::vector<ovs_bridge>> list_ovs_bridges();

// Reads the output of that call: the Bridge rows (name, port ids), a blank
// line, then the Port rows (id, name), each row as CSV.
std::vector<ovs_bridge> parse_ovs_listing(std::string_view text);

} // namespace kx
