// The ifcfg finder (own file, DEVICE= keys with and without the query's
// index, hardware-address file names), the boot-protocol reader, and the
// address rewrite of plain text: every line it does not own is kept.
#include "frame/state.h"
#include "fuzz_root.h"
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"
#include "netinfo/host_collectors.h"
#include "netinfo/store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

constexpr std::string_view redhat = "/etc/sysconfig/network-scripts";
constexpr std::string_view suse = "/etc/sysconfig/network";

// A directory entry name: no slash or NUL, never "." or "..".
std::string entry_name(FuzzedDataProvider &input) {
    std::string name = input.ConsumeRandomLengthString(24);
    for (char &c : name)
        if (c == '/' || c == '\0') c = '_';
    return "ifcfg-" + name;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t newline = text.find('\n');
        lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    }
    return lines;
}

// The key a line assigns as the rewrite sees it, or empty.
std::string_view key_of(std::string_view line) {
    std::size_t start = line.find_first_not_of(" \t\v\f\r");
    std::size_t equals = line.find('=');
    if (start == std::string_view::npos || line[start] == '#' || equals == std::string_view::npos)
        return {};
    return line.substr(start, equals - start);
}

bool owned_by_rewrite(std::string_view key) {
    return key == "BOOTPROTO" || key == "IPADDR" || key == "NETMASK" || key == "PREFIXLEN";
}

// What follows an address value on its line once the value ends at a blank
// (plain text), when it is more than blanks and a comment; else empty.
std::string_view tail_of(std::string_view line) {
    const std::size_t blank = line.find_first_of(" \t", line.find('=') + 1);
    if (blank == std::string_view::npos) return {};
    const std::size_t rest = line.find_first_not_of(" \t", blank);
    if (rest == std::string_view::npos || line[rest] == '#') return {};
    return line.substr(blank);
}

// Whether a dropped value's tail starts with another assignment ("NAME=" or
// "NAME+="); else it starts with the command word.
bool tail_is_assignment(std::string_view tail) {
    const std::size_t name = tail.find_first_not_of(" \t");
    const std::size_t end = tail.find_first_not_of(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_", name);
    if (end == name || end == std::string_view::npos || (tail[name] >= '0' && tail[name] <= '9')) return false;
    return tail[end] == '=' || tail.substr(end, 2) == "+=";
}

// Plain text, where no line can run on into the next or carry a second
// command (ifcfg_shell judges the rest with bash): every line the rewrite
// does not own is kept, in order, and so is what followed a dropped value.
void check_rewrite(std::string_view old_text, std::string_view address, bool in_suse) {
    if (!kx::address_text_acceptable(address)) return;
    const std::string out = kx::ifcfg_rewrite_address(old_text, address, in_suse);
    if (!out.empty() && out.back() != '\n') std::abort();
    if (old_text.find_first_of("\"'\\;&|<>()`$[{}!") != std::string_view::npos) return;
    const bool dhcp = address == "dhcp";
    std::vector<std::string> kept;
    for (std::string_view line : lines_of(old_text)) {
        const std::string_view key = key_of(line);
        if (line == ":") continue; // what the rewrite may put where a command is needed
        if (!owned_by_rewrite(key)) kept.emplace_back(line);
        else if (key == "PREFIXLEN" || (dhcp && key != "BOOTPROTO")) {
            const std::string_view tail = tail_of(line);
            const bool assigned = line.find_first_not_of(" \t") == line.find_first_not_of(" \t\v\f\r");
            if (!assigned) { // a command the shell cannot find: "false" keeps its failure
                kept.push_back("false" + std::string(tail));
                continue;
            }
            std::string shown(tail);
            const std::size_t word = tail.find_first_not_of(" \t");
            if (!tail.empty() && !tail_is_assignment(tail) && tail[word] >= 'a' && tail[word] <= 'z')
                shown.insert(word, 1, '\\'); // the command word stays no reserved word
            if (!tail.empty() && !owned_by_rewrite(key_of(shown))) kept.push_back(shown);
        }
    }
    std::vector<std::string> others;
    bool bootproto = false;
    for (std::string_view line : lines_of(out)) {
        if (line != ":" && !owned_by_rewrite(key_of(line))) others.emplace_back(line);
        bootproto = bootproto || key_of(line) == "BOOTPROTO";
    }
    if (kept != others || !bootproto) {
        std::fprintf(stderr, "old:\n%.*s--\nnew:\n%s--\n", static_cast<int>(old_text.size()), old_text.data(),
                     out.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool in_suse = input.ConsumeBool();
    kx::state().suse_flag = in_suse ? 1 : 0;
    std::string device = input.ConsumeRandomLengthString(20);
    const std::string hwaddr = input.ConsumeRandomLengthString(20);
    const int kind = input.ConsumeBool() ? KXNETIF_VLAN : KXNETIF_ETH;
    // The address reaches the library as a C string: it ends at its first NUL.
    std::string address = input.ConsumeRandomLengthString(20);
    address.resize(std::strlen(address.c_str()));
    kxfuzz::empty_dir(redhat);
    kxfuzz::empty_dir(suse);
    std::string first_text;
    for (int files = input.ConsumeIntegralInRange(0, 4); files > 0; --files) {
        const std::string_view dir = input.ConsumeBool() ? redhat : suse;
        const std::string name = entry_name(input);
        const std::string text = input.ConsumeRandomLengthString(512);
        if (first_text.empty()) first_text = text;
        kxfuzz::put(std::string(dir) + "/" + name, text);
    }
    check_rewrite(first_text, address, in_suse);
    if (device.empty() || device.find('/') != std::string::npos || device.find('\0') != std::string::npos)
        return 0;

    // The query's one-pass index answers as the per-device search does.
    const kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
    if (kx::ifcfg_find(device.c_str(), kind, hwaddr.c_str(), &index) !=
        kx::ifcfg_find(device.c_str(), kind, hwaddr.c_str()))
        std::abort();

    kx::iface_update update(device.c_str(), 0);
    update.type(kind);
    if (!hwaddr.empty() && hwaddr.find('\0') == std::string::npos) update.hwaddr(hwaddr);
    if (const kx::iface_record *record = update.record()) kx::read_bootproto(*record, &index);
    kx::store_reset_for_tests();
    return 0;
}
