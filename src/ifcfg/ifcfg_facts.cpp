// One pass over an ifcfg file's physical lines, and the per-path cache of
// what it found.
#include "ifcfg/ifcfg_facts.h"

#include "sys/text_file.h"

#include <mutex>
#include <unordered_map>

namespace kx {

namespace {

constexpr std::string_view bootproto_key = "BOOTPROTO=";

ifcfg_facts read_facts(const std::string &path) {
    ifcfg_facts facts;
    unique_file stream = open_text_file(path.c_str());
    if (!stream) return facts;
    std::string text;
    while (read_text_line(stream.get(), text)) {
        const std::string_view line = up_to_nul(text);
        if (std::optional<std::string_view> value = ifcfg_line_value(line, ifcfg_device_key, false)) {
            std::size_t end = 0;
            while (end < value->size() && !ifcfg_white((*value)[end])) ++end;
            facts.device_keys.emplace_back(value->substr(0, end));
        } else if (std::optional<std::string_view> protocol = ifcfg_line_value(line, bootproto_key, true);
                   protocol && protocol->find("dhcp") != std::string_view::npos) {
            ++facts.dhcp_lines;
        }
    }
    return facts;
}

struct known_file {
    file_identity identity;
    std::shared_ptr<const ifcfg_facts> facts;
};

} // namespace

std::optional<std::string_view> ifcfg_line_value(std::string_view line, std::string_view key, bool after_blanks) {
    if (after_blanks) {
        const std::size_t start = line.find_first_not_of(" \t\r\f\v");
        if (start == std::string_view::npos) return std::nullopt;
        line.remove_prefix(start);
    }
    if (!line.starts_with(key)) return std::nullopt;
    return line.substr(key.size());
}

std::shared_ptr<const ifcfg_facts> ifcfg_facts_of(const std::string &path, const file_identity &identity) {
    static std::mutex mutex;
    static std::unordered_map<std::string, known_file> known;
    std::lock_guard<std::mutex> guard(mutex);
    auto hit = known.find(path);
    if (hit != known.end() && hit->second.identity == identity) return hit->second.facts;
    auto facts = std::make_shared<const ifcfg_facts>(read_facts(path));
    if (settled(identity))
        known.insert_or_assign(path, known_file{identity, facts});
    else if (hit != known.end())
        known.erase(hit);
    return facts;
}

} // namespace kx
