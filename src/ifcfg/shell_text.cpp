// Shell grouping of an ifcfg file's text: logical lines and value words.
#include "ifcfg/shell_text.h"

#include <algorithm>
#include <initializer_list>

namespace kx {

namespace {

bool shell_blank(char c) { return c == ' ' || c == '\t'; }

// The index just past the quoted part that opens at `at` (', ", $' or `),
// or text.size() when it is never closed.
std::size_t quoted_end(std::string_view text, std::size_t at) {
    if (text[at] == '\'') {
        const std::size_t close = text.find('\'', at + 1);
        return close == std::string_view::npos ? text.size() : close + 1;
    }
    const char quote = text[at] == '$' ? '\'' : text[at];
    for (std::size_t i = at + (text[at] == '$' ? 2 : 1); i < text.size(); ++i) {
        if (text[i] == '\\') ++i;
        else if (text[i] == quote) return i + 1;
    }
    return text.size();
}

// Whether `c` starts a control or redirection operator of the shell.
bool shell_operator(char c) { return c == ';' || c == '&' || c == '|' || c == '<' || c == '>'; }

bool opens_quote(std::string_view text, std::size_t at) {
    const char c = text[at];
    return c == '\'' || c == '"' || c == '`' || (c == '$' && at + 1 < text.size() && text[at + 1] == '\'');
}

} // namespace

std::size_t shell_line_end(std::string_view text, std::size_t from) {
    bool word_start = true;
    int open_parentheses = 0; // an array value or a subshell runs on over newlines
    std::size_t i = from;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n' && open_parentheses == 0) return i;
        if (c == '#' && word_start) {
            const std::size_t newline = text.find('\n', i);
            if (newline == std::string_view::npos) return text.size();
            if (open_parentheses == 0) return newline;
            i = newline;
            continue;
        }
        if (c == '\\') {
            i += 2;
            word_start = false;
        } else if (opens_quote(text, i)) {
            i = quoted_end(text, i);
            word_start = false;
        } else {
            if (c == '(') ++open_parentheses;
            if (c == ')' && open_parentheses > 0) --open_parentheses;
            // Text right after ")" continues the word: "(1)#x" is no comment.
            word_start = shell_blank(c) || shell_operator(c) || c == '(' || c == '\n';
            ++i;
        }
    }
    return text.size();
}

bool shell_line_wants_command(std::string_view line, bool before) {
    std::string_view last;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (shell_blank(c) || c == '\n') {
            ++i;
        } else if (c == '#') { // a comment: the token before it stays the last
            i = line.find('\n', i);
            if (i == std::string_view::npos) break;
        } else if (shell_operator(c) || c == '(' || c == ')') {
            const std::size_t end = c == '(' || c == ')' ? i + 1 : line.find_first_not_of(";&|<>", i);
            last = line.substr(i, end == std::string_view::npos ? line.size() - i : end - i);
            i += last.size();
        } else {
            const std::size_t end = shell_word_end(line, i);
            last = line.substr(i, std::max(end, i + 1) - i);
            i += last.size();
        }
    }
    if (last.empty()) return before;
    for (std::string_view opens : {"&&", "||", "|", "|&", "!", "(", "{", "if", "then", "else", "elif", "while", "until", "do"})
        if (last == opens) return true;
    return false;
}

std::size_t shell_word_end(std::string_view text, std::size_t from) {
    bool array = from < text.size() && text[from] == '(';
    bool element_start = true; // in an array, where a "#" starts a comment
    std::size_t i = array ? from + 1 : from;
    while (i < text.size()) {
        const char c = text[i];
        if (array && c == ')') { // text right after it makes the whole a plain word
            array = false;
            ++i;
            continue;
        }
        if (!array && (shell_blank(c) || c == '\n' || shell_operator(c) || c == '(' || c == ')')) return i;
        if (array && c == '#' && element_start) {
            i = text.find('\n', i);
            if (i == std::string_view::npos) return text.size();
            continue;
        }
        element_start = shell_blank(c) || c == '\n';
        if (c == '\\') i += 2;
        else if (opens_quote(text, i)) i = quoted_end(text, i);
        else ++i;
    }
    return text.size();
}

} // namespace kx
