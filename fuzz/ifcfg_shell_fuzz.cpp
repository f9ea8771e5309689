// The address rewrite judged by bash: an ifcfg text built from tokens that
// form assignments, quotes, continuations, comments, arrays, lists and
// if-blocks (never a loop, nor a command name bash could run), rewritten for
// a static address and for DHCP; sourced before and after, it must define
// the same other variables: A, B, C, MTU and every name the shell reader
// sees assigned ("AB=", "IPADDRA="), the address keys aside.
#include "fuzz_root.h"
#include "ifcfg/ifcfg.h"
#include "ifcfg/shell_text.h"
#include "shell_oracle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view tokens[] = {
    "IPADDR", "NETMASK", "BOOTPROTO", "PREFIXLEN", "A", "B", "C", "MTU", "=", "\"", "'", "\\", ";",
    " ", "\t", "\n", "#", "x", "1", ".", "(", ")", "$'", "`", "\r",
    "&&", "||", "|", "!", "{", "}", "if", "then", "else", "fi",
};

std::string text_of(const uint8_t *data, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += tokens[data[i] % std::size(tokens)];
    // As the file reader hands it over: every line ends in a newline.
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    return text;
}

bool address_key(std::string_view name) {
    return name == "IPADDR" || name == "NETMASK" || name == "BOOTPROTO" || name == "PREFIXLEN";
}

// Adds each name other than the address keys that an assignment word of
// `text` gives.
void add_names(std::string_view text, std::vector<std::string> &names) {
    kx::shell_reader reader(text);
    for (kx::shell_token token = reader.next(); !token.is(kx::shell_token_kind::text_end); token = reader.next()) {
        if (!token.assignment()) continue;
        const std::string name(text.substr(token.begin, token.name_end - token.begin));
        if (!address_key(name) && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
}

std::string variables(const std::string &text, const std::vector<std::string> &others) {
    kxfuzz::put("/ifcfg-x", text);
    return kxtest::shell_variables(kxfuzz::at("/ifcfg-x"), kxfuzz::at("/empty"), others);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 512) return 0;
    static const bool made = (kxfuzz::empty_dir("/empty"), true);
    (void)made;
    const char *address = data[0] % 2 == 0 ? "dhcp" : "10.1.2.3/24";
    const std::string old_text = text_of(data + 1, size - 1);
    const std::string new_text = kx::ifcfg_rewrite_address(old_text, address, data[0] % 4 < 2);
    std::vector<std::string> others = {"A", "B", "C", "MTU"};
    add_names(old_text, others);
    add_names(new_text, others);
    const std::string before = variables(old_text, others);
    if (before == "!syntax") return 0; // a file bash cannot read has no meaning to keep
    if (before.rfind('!', 0) == 0) { // the judge itself failed
        std::fprintf(stderr, "bash: %s\n", before.c_str());
        std::abort();
    }
    const std::string after = variables(new_text, others);
    if (after != before) {
        std::fprintf(stderr, "old:\n%s--\n%snew:\n%s--\n%s", old_text.c_str(), before.c_str(), new_text.c_str(),
                     after.c_str());
        std::abort();
    }
    return 0;
}
