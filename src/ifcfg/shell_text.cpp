// The shell's grouping of an ifcfg file's text: one state machine that reads
// words, operators, comments and logical lines.
#include "ifcfg/shell_text.h"

#include <initializer_list>

namespace kx {

namespace {

bool shell_blank(char c) { return c == ' ' || c == '\t'; }

// Whether `c` is part of a control or redirection operator of the shell.
bool operator_char(char c) { return c == ';' || c == '&' || c == '|' || c == '<' || c == '>'; }

bool name_start_char(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool name_char(char c) { return name_start_char(c) || (c >= '0' && c <= '9'); }

} // namespace

shell_token shell_reader::next() {
    while (at_ < text_.size()) {
        const std::size_t begin = at_;
        const char c = text_[at_];
        if (shell_blank(c) || c == '\n') {
            ++at_;
            word_start_ = true;
            if (c == '\n' && open_parentheses_ == 0) return {shell_token_kind::line_end, begin, at_};
            continue;
        }
        if (c == '#' && word_start_) {
            at_ = text_.find('\n', at_);
            if (at_ == std::string_view::npos) at_ = text_.size();
            return {shell_token_kind::comment, begin, at_};
        }
        if (operator_char(c) || c == '(' || c == ')') {
            if (c == '(') ++open_parentheses_;
            if (c == ')' && open_parentheses_ > 0) --open_parentheses_;
            at_ = c == '(' || c == ')' ? at_ + 1 : text_.find_first_not_of(";&|<>", at_);
            if (at_ == std::string_view::npos) at_ = text_.size();
            // Text right after ")" continues a word to the shell: "(1)#x" holds no comment.
            word_start_ = c != ')';
            return {shell_token_kind::operation, begin, at_};
        }
        return word();
    }
    return {shell_token_kind::text_end, text_.size(), text_.size()};
}

// The word that starts at at_.  Outside quotes it ends at a blank, a newline
// or an operator; an assignment's "=(" opens an array value, which runs over
// blanks, newlines and comments to its ")", and text right after that ")"
// continues the word.
shell_token shell_reader::word() {
    shell_token token{shell_token_kind::word, at_, at_};
    shape seen = shape::lead;
    bool array = false;
    state now = state::word;
    // Where a quote or an escape returns to.
    auto unquoted = [&] { return array ? state::array_element : state::word; };
    // A quote or an escape that opens at_, or false.
    auto opens = [&](char c) {
        if (c == '\\') now = state::escape;
        else if (c == '\'') now = state::single_quote;
        else if (c == '"') now = state::double_quote;
        else if (c == '`') now = state::back_quote;
        else if (c == '$' && at_ + 1 < text_.size() && text_[at_ + 1] == '\'') {
            now = state::dollar_quote;
            ++at_;
        } else {
            return false;
        }
        return true;
    };
    for (; at_ < text_.size(); ++at_) {
        const char c = text_[at_];
        switch (now) {
        case state::word:
            if (c == '(' && seen == shape::assigns && token.equals + 1 == at_) {
                array = true;
                now = state::array_gap;
                break;
            }
            if (shell_blank(c) || c == '\n' || operator_char(c) || c == '(' || c == ')') {
                token.end = at_;
                if (seen != shape::assigns) token.name_end = token.equals = shell_token::npos;
                word_start_ = false;
                return token;
            }
            shape_step(token, seen, at_);
            opens(c);
            break;
        case state::array_gap:
        case state::array_element:
            if (shell_blank(c) || c == '\n') {
                now = state::array_gap;
            } else if (c == '#' && now == state::array_gap) {
                now = state::array_comment;
            } else if (c == ')') {
                array = false;
                now = state::word;
            } else if (!opens(c)) {
                now = state::array_element;
            }
            break;
        case state::array_comment:
            if (c == '\n') now = state::array_gap;
            break;
        case state::escape:
        case state::double_escape:
        case state::dollar_escape:
        case state::back_escape:
            now = now == state::escape          ? unquoted()
                  : now == state::double_escape ? state::double_quote
                  : now == state::dollar_escape ? state::dollar_quote
                                                : state::back_quote;
            break;
        case state::single_quote:
            if (c == '\'') now = unquoted();
            break;
        case state::double_quote:
            if (c == '\\') now = state::double_escape;
            else if (c == '"') now = unquoted();
            break;
        case state::dollar_quote:
            if (c == '\\') now = state::dollar_escape;
            else if (c == '\'') now = unquoted();
            break;
        case state::back_quote:
            if (c == '\\') now = state::back_escape;
            else if (c == '`') now = unquoted();
            break;
        }
    }
    token.end = at_ = text_.size();
    if (seen != shape::assigns) token.name_end = token.equals = shell_token::npos;
    word_start_ = false;
    return token;
}

// One unquoted character of a word read against NAME=, NAME+= or NAME[…]=.
void shell_reader::shape_step(shell_token &token, shape &seen, std::size_t at) const {
    const char c = text_[at];
    switch (seen) {
    case shape::lead:
        if (c == '\v' || c == '\f' || c == '\r') {
            ++token.lead;
            return;
        }
        seen = name_start_char(c) ? shape::name : shape::other;
        return;
    case shape::name:
        if (name_char(c)) return;
        token.name_end = at;
        seen = c == '[' ? shape::subscript : c == '+' ? shape::plus : c == '=' ? shape::assigns : shape::other;
        break;
    case shape::subscript: // quotes inside it are read as quotes: their "]" does not close it
        if (c == ']') seen = shape::subscript_end;
        return;
    case shape::subscript_end:
        seen = c == '+' ? shape::plus : c == '=' ? shape::assigns : shape::other;
        break;
    case shape::plus:
        seen = c == '=' ? shape::assigns : shape::other;
        break;
    case shape::assigns:
    case shape::other:
        return;
    }
    if (seen == shape::assigns) token.equals = at;
}

shell_line shell_reader::line() {
    shell_line line;
    line.begin = at_;
    bool first = true;      // no token read yet
    bool key_open = true;   // only words of "\v\f\r" alone read so far
    bool after_key = false; // the token just read was the key word
    for (shell_token token = next();; token = next()) {
        if (token.is(shell_token_kind::line_end) || token.is(shell_token_kind::text_end)) {
            line.end = token.begin;
            return line;
        }
        if (after_key) line.after_key = token;
        after_key = false;
        if (key_open && !(token.is(shell_token_kind::word) && token.lead == token.end - token.begin)) {
            key_open = false;
            if (token.is(shell_token_kind::word)) {
                line.key = token;
                line.key_first = first && token.lead == 0;
                after_key = true;
            }
        }
        first = false;
    }
}

bool shell_wants_command(std::string_view text, bool before) {
    shell_reader reader(text);
    shell_token last;
    for (shell_token token = reader.next(); !token.is(shell_token_kind::text_end); token = reader.next())
        if (token.is(shell_token_kind::word) || token.is(shell_token_kind::operation)) last = token;
    if (last.is(shell_token_kind::text_end)) return before;
    for (std::string_view opens : {"&&", "||", "|", "|&", "!", "(", "{", "if", "then", "else", "elif", "while", "until", "do"})
        if (last.in(text) == opens) return true;
    return false;
}

} // namespace kx
