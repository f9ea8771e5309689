// Parsing and rendering of the container configuration text (format in
// conf_text.h).
#include "conf_text.h"

#include "kxctl.h"

#include <sstream>

namespace kxctl {

namespace {

constexpr size_t max_dev_name = 15;

bool is_key(const std::string &line, const char *key) { return line.rfind(key, 0) == 0; }

bool valid_dev_name(const std::string &name) {
    if (name.empty() || name.size() > max_dev_name) return false;
    for (char c : name)
        if (c <= ' ' || c == '/' || c == '=' || c == 0x7f) return false;
    return true;
}

bool valid_root(const std::string &root) {
    for (char c : root)
        if (c == '\n' || c == '\r' || c == '\0') return false;
    return !root.empty();
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    std::string word;
    while (in >> word) result.push_back(word);
    return result;
}

std::optional<veth_setting> parse_veth(const std::string &value) {
    std::vector<std::string> fields = words(value);
    if (fields.empty() || fields.size() > 2 || !valid_dev_name(fields[0])) return std::nullopt;
    veth_setting veth{fields[0], std::nullopt};
    if (fields.size() == 2) {
        if (!kxctl_is_networkid_valid(fields[1].c_str())) return std::nullopt;
        veth.network = fields[1];
    }
    return veth;
}

std::string veth_line(const veth_setting &veth) {
    std::string line = "VETH=" + veth.dev_name;
    if (veth.network) line += " " + *veth.network;
    return line;
}

} // namespace

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::optional<conf_settings> parse_settings(const std::vector<std::string> &lines) {
    conf_settings settings;
    for (const std::string &line : lines) {
        if (is_key(line, "ROOT=")) {
            std::string root = line.substr(5);
            if (!valid_root(root)) return std::nullopt;
            settings.root = root;
        } else if (is_key(line, "VETH=")) {
            std::optional<veth_setting> veth = parse_veth(line.substr(5));
            if (!veth) return std::nullopt;
            settings.veths.push_back(*veth);
        }
    }
    return settings;
}

bool settings_writable(const conf_settings &settings) {
    if (settings.root && !valid_root(*settings.root)) return false;
    for (const veth_setting &veth : settings.veths) {
        if (!valid_dev_name(veth.dev_name)) return false;
        if (veth.network && !kxctl_is_networkid_valid(veth.network->c_str())) return false;
    }
    return true;
}

std::string render_settings(const std::vector<std::string> &lines, const conf_settings &settings) {
    std::string text;
    bool root_written = false, veths_written = false;
    auto write_root = [&] {
        if (settings.root) text += "ROOT=" + *settings.root + "\n";
        root_written = true;
    };
    auto write_veths = [&] {
        for (const veth_setting &veth : settings.veths) text += veth_line(veth) + "\n";
        veths_written = true;
    };
    for (const std::string &line : lines) {
        if (is_key(line, "ROOT=")) {
            if (!root_written) write_root();
        } else if (is_key(line, "VETH=")) {
            if (!veths_written) write_veths();
        } else {
            text += line + "\n";
        }
    }
    if (!root_written) write_root();
    if (!veths_written) write_veths();
    return text;
}

} // namespace kxctl
