// Column alignment and colour for people, JSON for programs.
#include "output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace kxnetctl {

bool use_colour(colour_mode mode) {
    if (mode == colour_mode::always) return true;
    if (mode == colour_mode::never) return false;
    const char *no_colour = std::getenv("NO_COLOR");
    if (no_colour != nullptr && *no_colour != '\0') return false;
    return isatty(STDOUT_FILENO) == 1;
}

std::string paint(const output &out, const std::string &text, tint how) {
    if (!out.colour || how == tint::none || text.empty()) return text;
    const char *code = how == tint::good ? "32" : how == tint::bad ? "31" : how == tint::dim ? "2" : "1";
    return std::string("\033[") + code + "m" + text + "\033[0m";
}

void print_table(const output &out, const std::vector<std::string> &header,
                 const std::vector<std::vector<cell>> &rows) {
    std::vector<size_t> width(header.size());
    for (size_t c = 0; c < header.size(); ++c) width[c] = header[c].size();
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size() && c < width.size(); ++c) width[c] = std::max(width[c], row[c].text.size());
    auto emit = [&](const std::vector<cell> &row) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += paint(out, row[c].text, row[c].how);
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].text.size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::printf("%s\n", line.c_str());
    };
    std::vector<cell> head;
    for (const auto &h : header) head.push_back({h, tint::bold});
    emit(head);
    for (const auto &row : rows) emit(row);
}

void print_json(const nlohmann::json &document) { std::cout << document.dump(2) << std::endl; }

std::string or_dash(const std::string &text) { return text.empty() ? "-" : text; }

} // namespace kxnetctl
