// Reading the switch's bridges with their ports from one ovs-vsctl call:
// "list Bridge" gives each bridge with the ids of its ports, "list Port" the
// name of each id, both as bare CSV in one output.
#include "devices/ovs_listing.h"

#include "sys/command.h"
#include "sys/paths.h"

#include <algorithm>
#include <map>

namespace kx {

namespace {

// The fields of one CSV row; a quoted field may hold commas and doubled quotes.
std::vector<std::string> csv_fields(std::string_view line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c != '"')
                fields.back() += c;
            else if (i + 1 < line.size() && line[i + 1] == '"')
                fields.back() += line[++i];
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

struct bridge_row {
    std::string name;
    std::vector<std::string> port_ids;
};

} // namespace

std::vector<ovs_bridge> parse_ovs_listing(std::string_view text) {
    std::vector<bridge_row> bridges;
    std::map<std::string, std::string> port_names;
    bool in_ports = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) {
            in_ports = true;
            continue;
        }
        std::vector<std::string> fields = csv_fields(line);
        if (fields.size() != 2 || fields[0].empty()) continue;
        if (in_ports)
            port_names[fields[0]] = fields[1];
        else
            bridges.push_back({fields[0], words(fields[1])});
    }

    std::vector<ovs_bridge> out;
    for (const bridge_row &row : bridges) {
        ovs_bridge bridge{row.name, {}};
        for (const std::string &id : row.port_ids) {
            auto named = port_names.find(id);
            if (named != port_names.end() && named->second != row.name) bridge.ports.push_back(named->second);
        }
        std::sort(bridge.ports.begin(), bridge.ports.end());
        out.push_back(std::move(bridge));
    }
    std::sort(out.begin(), out.end(), [](const ovs_bridge &a, const ovs_bridge &b) { return a.name < b.name; });
    return out;
}

std::optional<std::vector<ovs_bridge>> list_ovs_bridges() {
    std::string tool = paths::rooted(paths::ovs_vsctl);
    // A query must not wait on a database that does not answer.
    const char *const argv[] = {tool.c_str(), "--timeout=5", "--format=csv", "--data=bare", "--no-headings",
                                "--", "--columns=name,ports", "list", "Bridge",
                                "--", "--columns=_uuid,name", "list", "Port", nullptr};
    std::string output;
    if (!run_command_output(argv, output).succeeded()) return std::nullopt;
    return parse_ovs_listing(output);
}

} // namespace kx
