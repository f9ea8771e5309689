// The address lines of a device's ifcfg file: the rewrite of the file's text
// for a static address or DHCP, and the one-pass replacement of the file.
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"
#include "ifcfg/shell_text.h"

#include "frame/atomic_file.h"
#include "frame/frame.h"
#include "frame/state.h"
#include "frame/text_file.h"

#include <cctype>
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
    // The last command written ends where the shell needs another ("&&",
    // "then", …): a dropped line must leave ":" in its place.
    bool command_wanted = false;
};

// What follows a replaced or dropped value on its line matters when it is
// more than blanks and a comment: "IPADDR=1.2.3.4; MTU=9000".
bool tail_matters(std::string_view tail) {
    const std::size_t first = tail.find_first_not_of(" \t");
    return first != std::string_view::npos && tail[first] != '#';
}

// Whether `text` (after blanks) starts with an assignment word: a name, an
// optional subscript, then "=" or "+=".
bool starts_with_assignment(std::string_view text) {
    std::size_t i = text.find_first_not_of(" \t");
    const std::size_t name = i;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
    if (i == name || std::isdigit(static_cast<unsigned char>(text[name]))) return false;
    if (i < text.size() && text[i] == '[') i = text.find(']', i) + 1;
    if (i != 0 && i < text.size() && text[i] == '+') ++i;
    return i != 0 && i < text.size() && text[i] == '=';
}

// A dropped line: nothing, or what followed its value, kept on a line of its
// own.  ":" stands in for the dropped word, so that an operator keeps its
// place and what were arguments stay arguments, unless the word was a shell
// assignment (`assigned`: no blank but space or tab before it) and another
// follows.  ":" also stands alone where the shell needs a command.
void drop_value(std::string_view tail, bool assigned, bool command_wanted, std::string &out) {
    if (!tail_matters(tail)) {
        if (command_wanted) out.append(":\n");
        return;
    }
    if (!assigned || !starts_with_assignment(tail)) out.push_back(':');
    out.append(tail).push_back('\n');
}

// One logical line (without its newline) rewritten into `out`, or copied.
// The key is read from its first physical line; the value it replaces is the
// shell word after the "=", which may run over several lines.
void rewrite_line(std::string_view line, address_lines &lines, std::string &out) {
    const std::string_view first = line.substr(0, line.find('\n'));
    const std::size_t start = first.find_first_not_of(blanks);
    const std::size_t equals = first.find('=');
    if (start == std::string_view::npos || first[start] == '#' || equals == std::string_view::npos) {
        out.append(line).push_back('\n');
        return;
    }
    // The key runs from the first non-blank up to the first "=" exactly: a
    // blank before the "=" makes it another key.
    const std::string_view key = first.substr(start, equals - start);
    std::size_t value = equals + 1;
    char quote = '\0';
    if (value < line.size() && (line[value] == '\'' || line[value] == '"')) quote = line[value++];
    const std::string_view tail = line.substr(shell_word_end(line, equals + 1));
    // "\rIPADDR=…" is a key here, as ifcfg readers see it, but a command word to the shell.
    const bool assigned = first.find_first_not_of(" \t") == start;
    auto drop = [&] { drop_value(tail, assigned, lines.command_wanted, out); };
    auto replace = [&](std::string_view new_value) {
        out.append(line.substr(0, value)).append(new_value);
        if (quote != '\0') out.push_back(quote);
        if (tail_matters(tail)) out.append(tail);
        out.push_back('\n');
    };

    if (key == "BOOTPROTO") {
        lines.seen_bootproto = true;
        replace(lines.dhcp ? "dhcp" : "static");
    } else if (key == "IPADDR") {
        lines.seen_ipaddr = true;
        lines.dhcp ? drop() : replace(lines.address);
    } else if (key == "NETMASK") {
        lines.seen_netmask = true;
        lines.dhcp ? drop() : replace(lines.netmask);
    } else if (key == "PREFIXLEN") {
        drop();
    } else {
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
        const std::size_t end = shell_line_end(old_text, 0);
        const std::size_t written = out.size();
        rewrite_line(old_text.substr(0, end), lines, out);
        lines.command_wanted = shell_line_wants_command(std::string_view(out).substr(written), lines.command_wanted);
        old_text.remove_prefix(end == old_text.size() ? end : end + 1);
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
        return replace_file(target, content, 0600) == 0 ? 0 : 1;
    });
}

} // namespace kx
