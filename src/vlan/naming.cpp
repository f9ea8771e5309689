// The VLAN naming type mirror and the names it gives VLAN devices.
#include "vlan/naming.h"

#include "sys/paths.h"
#include "sys/text_file.h"

#include <cstring>
#include <memory>
#include <string>

namespace kx {

namespace {

int32_t current_name_type = 3;

// Header lines are short; anything past this is read and dropped.
constexpr std::size_t header_line_max = 4096;

bool read_header_line(std::FILE *stream, std::string &line) {
    return read_text_line(stream, line, header_line_max);
}

} // namespace

int32_t &vlan_name_type() { return current_name_type; }

void vlan_device_name(const char *device, unsigned vid, char (&out)[16]) {
    const char *dev = device != nullptr ? device : "";
    switch (current_name_type) {
    case 0: std::snprintf(out, sizeof out, "vlan%.4u", vid); break;
    case 1: std::snprintf(out, sizeof out, "%s.%.4u", dev, vid); break;
    case 2: std::snprintf(out, sizeof out, "vlan%u", vid); break;
    default: std::snprintf(out, sizeof out, "%s.%u", dev, vid); break;
    }
}

void vlan_name_type_set(const char *text) {
    if (text == nullptr) text = "";
    if (std::strcmp(text, "VLAN_NAME_TYPE_PLUS_VID_NO_PAD") == 0)
        current_name_type = 2;
    else if (std::strcmp(text, "VLAN_NAME_TYPE_PLUS_VID") == 0)
        current_name_type = 0;
    else if (std::strcmp(text, "VLAN_NAME_TYPE_RAW_PLUS_VID") == 0)
        current_name_type = 1;
    else
        current_name_type = 3;
}

bool read_vlan_config_header(std::FILE *stream) {
    std::string line;
    if (!read_header_line(stream, line)) return false; // line 1: column titles
    if (!read_header_line(stream, line)) return false;
    line = line.c_str(); // stop at an embedded NUL as a C reader would
    // Pieces split at ':', ' ' and newline; empty pieces are skipped.
    std::string pieces[2];
    int found = 0;
    std::size_t pos = 0;
    while (found < 2 && pos < line.size()) {
        std::size_t start = line.find_first_not_of(": \n", pos);
        if (start == std::string::npos) break;
        std::size_t end = line.find_first_of(": \n", start);
        if (end == std::string::npos) end = line.size();
        pieces[found++] = line.substr(start, end - start);
        pos = end;
    }
    if (found == 2 && pieces[0] == "Name-Type") vlan_name_type_set(pieces[1].c_str());
    return true;
}

void read_vlan_config(int update, vlan_config_device_reader read_devices) {
    unique_file stream = open_text_file(paths::rooted(paths::proc_vlan_config).c_str());
    if (!stream) return;
    if (!read_vlan_config_header(stream.get())) return;
    if (update != 0 && read_devices != nullptr) read_devices(stream.get());
}

} // namespace kx
