// The address lines of a device's ifcfg file: the rewrite of the file's text
// for a static address or DHCP, and the one-pass replacement of the file.
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"
#include "ifcfg/shell_text.h"

#include "frame/guarded.h"
#include "frame/state.h"
#include "sys/atomic_file.h"
#include "sys/text_file.h"

#include <cerrno>
#include <cstring>

namespace kx {

namespace {

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

// The key a line assigns as ifcfg readers see it: the name of its key word
// when "=" follows the name directly; empty otherwise.  "\rIPADDR=…" has the
// key IPADDR here, though to the shell it is a command word.
std::string_view line_key(std::string_view text, const shell_line &line) {
    const shell_token &key = line.key;
    if (!key.is(shell_token_kind::word) || key.equals == shell_token::npos || key.equals != key.name_end) return {};
    return text.substr(key.begin + key.lead, key.name_end - key.begin - key.lead);
}

// What follows a replaced or dropped value on its line matters when it is
// more than blanks and a comment: "IPADDR=1.2.3.4; MTU=9000".
bool tail_matters(const shell_line &line) {
    return line.after_key.is(shell_token_kind::word) || line.after_key.is(shell_token_kind::operation);
}

// Whether a word at the start of a command could be a reserved word ("then",
// "fi", "{", "!", "[[" …): one right after an assignment is not.
bool may_be_reserved(char first) {
    return (first >= 'a' && first <= 'z') || first == '{' || first == '}' || first == '!' || first == '[' ||
           first == ']';
}

// A dropped line: nothing, or what followed its value, kept on a line of its
// own so that it means what it meant.
// - The key word was no assignment to the shell ("\rIPADDR=…") but a command
//   it cannot find: "false" takes its place and keeps its failure.
// - After an assignment: another assignment stays as it is; a command word
//   stays the command (a backslash keeps "then" from turning reserved); an
//   operator gets ":" before it; nothing gets ":" where a command is needed.
void drop_value(std::string_view text, const shell_line &line, bool command_wanted, std::string &out) {
    const std::string_view tail = text.substr(line.key.end, line.end - line.key.end);
    const shell_token &next = line.after_key;
    if (!line.key_first) {
        out.append("false");
        if (tail_matters(line)) out.append(tail);
        out.push_back('\n');
        return;
    }
    if (!tail_matters(line)) {
        if (command_wanted) out.append(":\n");
        return;
    }
    if (next.is(shell_token_kind::operation)) {
        out.push_back(':');
    } else if (!next.assignment() && may_be_reserved(text[next.begin])) {
        out.append(text.substr(line.key.end, next.begin - line.key.end)).push_back('\\');
        out.append(text.substr(next.begin, line.end - next.begin)).push_back('\n');
        return;
    }
    out.append(tail).push_back('\n');
}

// One logical line (without its newline) rewritten into `out`, or copied.
// The value it replaces is the key word's text after the "=" (and after an
// opening quote), which may run over several physical lines.
void rewrite_line(std::string_view text, const shell_line &line, address_lines &lines, std::string &out) {
    const std::string_view whole = text.substr(line.begin, line.end - line.begin);
    const std::string_view key = line_key(text, line);
    if (key.empty()) {
        out.append(whole).push_back('\n');
        return;
    }
    std::size_t value = line.key.equals + 1;
    char quote = '\0';
    if (value < line.end && (text[value] == '\'' || text[value] == '"')) quote = text[value++];
    const std::string_view tail = text.substr(line.key.end, line.end - line.key.end);
    auto drop = [&] { drop_value(text, line, lines.command_wanted, out); };
    auto replace = [&](std::string_view new_value) {
        out.append(text.substr(line.begin, value - line.begin)).append(new_value);
        if (quote != '\0') out.push_back(quote);
        if (tail_matters(line)) out.append(tail);
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
        out.append(whole).push_back('\n');
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
    for (shell_reader reader(old_text); !reader.done();) {
        const std::size_t written = out.size();
        rewrite_line(old_text, reader.line(), lines, out);
        lines.command_wanted = shell_wants_command(std::string_view(out).substr(written), lines.command_wanted);
    }
    if (!lines.seen_bootproto) append_key(out, "BOOTPROTO", lines.dhcp ? "dhcp" : "static", suse);
    if (!lines.dhcp && !lines.seen_ipaddr) append_key(out, "IPADDR", lines.address, suse);
    if (!lines.dhcp && !lines.seen_netmask) append_key(out, "NETMASK", lines.netmask, suse);
    return out;
}

int ifcfg_set_address(const char *device, const char *address) {
    if (device == nullptr || address == nullptr || device[0] == '\0' || std::strchr(device, '/') != nullptr)
        return -EINVAL;
    return guarded(-ENOMEM, [&] {
        const std::string target = ifcfg_device_path(device);
        std::string text;
        {
            unique_file in = open_text_file(target.c_str());
            if (!in) return errno != 0 ? -errno : -EIO;
            std::string line;
            bool overlong = false;
            while (read_text_line(in.get(), line, text_line_max, &overlong)) text.append(line).push_back('\n');
            // A read that fails part way, or a line too long to keep whole,
            // must not leave a shortened file.
            if (std::ferror(in.get())) return -EIO;
            if (overlong) return -EFBIG;
        }
        const std::string content = ifcfg_rewrite_address(text, address, state().suse_flag != 0);
        // A file of the library's stays provably its own; anyone else's stays theirs.
        return replace_file(target, content, 0600, carries_written_mark(target.c_str()));
    });
}

} // namespace kx
