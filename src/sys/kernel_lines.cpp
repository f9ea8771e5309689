// Line reading of the kernel's text files and the pair list header check.
#include "sys/kernel_lines.h"

#include "sys/paths.h"
#include "sys/text_file.h"

#include <climits>
#include <cstring>
#include <string>

namespace kx {

kernel_file open_kernel_file(std::string_view documented) {
    return open_text_file(paths::rooted(documented).c_str());
}

bool read_kernel_line(std::FILE *stream, char (&buffer)[kernel_line_size]) {
    return std::fgets(buffer, sizeof buffer, stream) != nullptr;
}

bool is_pair_list_header(const char *line) {
    constexpr std::string_view tag = "Version:";
    while (*line == ' ') ++line;
    if (std::strncmp(line, tag.data(), tag.size()) != 0) return false;
    line += tag.size();
    if (*line != ' ') return false;
    while (*line == ' ') ++line;
    return std::strcmp(line, "1.0\n") == 0;
}

int32_t decimal_prefix(std::string_view text) {
    size_t at = text.find_first_not_of(' ');
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

std::vector<std::string_view> split_fields(std::string_view line, std::string_view delimiters) {
    std::vector<std::string_view> fields;
    size_t start = line.find_first_not_of(delimiters);
    while (start != std::string_view::npos) {
        size_t end = line.find_first_of(delimiters, start);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(start, end - start));
        start = line.find_first_not_of(delimiters, end);
    }
    return fields;
}

} // namespace kx
