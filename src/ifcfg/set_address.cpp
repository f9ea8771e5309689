// The address lines of a device's ifcfg file: the rewrite of the file's text
// for a static address or DHCP, and the one-pass replacement of the file.
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"

#include "frame/atomic_file.h"
#include "frame/frame.h"
#include "frame/state.h"
#include "frame/text_file.h"

#include <cstring>

namespace kx {

namespace {

constexpr std::string_view blanks = " \t\v\f\r";

// What the rewrite puts in place of the values, and which keys it met.
struct address_lines {
    bool dhcp;
    std::string_view address;
    std::string netmask;
    bool seen_bootproto = false;
    bool seen_ipaddr = false;
    bool seen_netmask = false;
};

// One line (without its newline) rewritten into `out`, or copied.
void rewrite_line(std::string_view line, address_lines &lines, std::string &out) {
    const std::size_t start = line.find_first_not_of(blanks);
    const std::size_t equals = line.find('=');
    if (start == std::string_view::npos || line[start] == '#' || equals == std::string_view::npos) {
        out.append(line).push_back('\n');
        return;
    }
    // The key runs from the first non-blank up to the first "=" exactly: a
    // blank before the "=" makes it another key.
    const std::string_view key = line.substr(start, equals - start);
    std::size_t value = equals + 1;
    char quote = '\0';
    if (value < line.size() && (line[value] == '\'' || line[value] == '"')) quote = line[value++];
    auto replace = [&](std::string_view new_value) {
        out.append(line.substr(0, value)).append(new_value);
        if (quote != '\0') out.push_back(quote);
        out.push_back('\n');
    };

    if (key == "BOOTPROTO") {
        lines.seen_bootproto = true;
        replace(lines.dhcp ? "dhcp" : "static");
    } else if (key == "IPADDR") {
        lines.seen_ipaddr = true;
        if (!lines.dhcp) replace(lines.address);
    } else if (key == "NETMASK") {
        lines.seen_netmask = true;
        if (!lines.dhcp) replace(lines.netmask);
    } else if (key != "PREFIXLEN") {
        out.append(line).push_back('\n');
    }
}

void append_key(std::string &out, std::string_view key, std::string_view value, bool suse) {
    out.append(key).push_back('=');
    if (suse) out.push_back('\'');
    out.append(value);
    if (suse) out.push_back('\'');
    out.push_back('\n');
}

} // namespace

std::string ifcfg_rewrite_address(std::string_view old_text, std::string_view address, bool suse) {
    address = address.substr(0, address_text_max);
    address_lines lines{is_dhcp(address), address_part(address), file_netmask(address)};
    std::string out;
    out.reserve(old_text.size() + 64);
    while (!old_text.empty()) {
        const std::size_t newline = old_text.find('\n');
        rewrite_line(old_text.substr(0, newline), lines, out);
        old_text.remove_prefix(newline == std::string_view::npos ? old_text.size() : newline + 1);
    }
    if (!lines.seen_bootproto) append_key(out, "BOOTPROTO", lines.dhcp ? "dhcp" : "static", suse);
    if (!lines.dhcp && !lines.seen_ipaddr) append_key(out, "IPADDR", lines.address, suse);
    if (!lines.dhcp && !lines.seen_netmask) append_key(out, "NETMASK", lines.netmask, suse);
    return out;
}

int ifcfg_set_address(const char *device, const char *address) {
    if (device == nullptr || address == nullptr || device[0] == '\0' || std::strchr(device, '/') != nullptr)
        return 1;
    return guarded(1, [&] {
        const std::string target = ifcfg_device_path(device);
        std::string text;
        {
            unique_file in = open_text_file(target.c_str());
            if (!in) return 1;
            std::string line;
            bool overlong = false;
            while (read_text_line(in.get(), line, text_line_max, &overlong)) text.append(line).push_back('\n');
            // A read that fails part way, or a line too long to keep whole,
            // must not leave a shortened file.
            if (std::ferror(in.get()) || overlong) return 1;
        }
        const std::string content = ifcfg_rewrite_address(text, address, state().suse_flag != 0);
        return replace_file(target, content, 0600, "iface.XXXXXX") == 0 ? 0 : 1;
    });
}

} // namespace kx
