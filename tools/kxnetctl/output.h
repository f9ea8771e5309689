// What a command prints: aligned columns for a person (colour only when
// asked for or on a terminal, NO_COLOR honoured), or one JSON document.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kxnetctl {

enum class colour_mode { automatic, always, never };

struct output {
    bool json = false;
    bool colour = false;
};

// Whether standard output gets colour: --color=always, or auto on a
// terminal without NO_COLOR set.
bool use_colour(colour_mode mode);

enum class tint { none, good, bad, dim, bold };

// `text` wrapped in the escape sequence of `how` when colour is on.
std::string paint(const output &out, const std::string &text, tint how);

// One cell: the text and its tint; widths are measured on the text alone.
struct cell {
    std::string text;
    tint how = tint::none;
};

// Prints a header line and rows with every column padded to its widest
// cell; the last column is not padded.
void print_table(const output &out, const std::vector<std::string> &header,
                 const std::vector<std::vector<cell>> &rows);

// Prints one JSON document and a newline.
void print_json(const nlohmann::json &document);

// "-" for an empty text, for table cells.
std::string or_dash(const std::string &text);

} // namespace kxnetctl
