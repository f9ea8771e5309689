// The container configuration file, one setting a line:
//
//   # comment                  kept as written
//   ROOT=<directory>           the container's root directory
//   VETH=<host-dev> [<net-id>] one virtual Ethernet interface, in order;
//                              the container end is eth0, eth1, ... inside
//
// Blank lines, comments and lines with other keys (KEY=value) are kept in
// place when the file is rewritten; ROOT takes the place of the first ROOT
// line and the VETH lines that of the first VETH line (else the end).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kxctl {

struct veth_setting {
    std::string dev_name;
    std::optional<std::string> network;
};

struct conf_settings {
    std::optional<std::string> root;
    std::vector<veth_setting> veths;
};

// Splits a file's text into lines (a missing last line break is accepted).
std::vector<std::string> split_lines(const std::string &text);
// Parses the lines; nullopt when a ROOT or VETH line is malformed.
std::optional<conf_settings> parse_settings(const std::vector<std::string> &lines);
// Whether settings can be written without changing their meaning.
bool settings_writable(const conf_settings &settings);
// The file's text with the settings in place of the ROOT and VETH lines.
std::string render_settings(const std::vector<std::string> &lines, const conf_settings &settings);

} // namespace kxctl
