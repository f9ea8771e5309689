// How a shell reading an ifcfg file groups its text, read by one state
// machine: words (with their quotes, escapes and array values), operators,
// comments, and the newlines that end a logical line.  The address rewrite
// reads the file through it, so that it never edits text inside another
// line's value and never drops what follows a value it replaces; the fuzz
// target that takes bash as its judge reads through it too.
#pragma once

#include <cstddef>
#include <string_view>

namespace kx {

enum class shell_token_kind : unsigned char {
    word,      // runs over quotes, escapes, backslash-newlines and "NAME=( … )"
    operation, // a run of ";&|<>", or a single "(" or ")"
    comment,   // from a "#" that opens a word up to its newline (not included)
    line_end,  // the newline that ends a logical line
    text_end,  // nothing more: the text ended
};

struct shell_token {
    static constexpr std::size_t npos = std::string_view::npos;

    shell_token_kind kind = shell_token_kind::text_end;
    std::size_t begin = 0, end = 0; // [begin, end) of the text
    // Words only.  `lead`: how many "\v", "\f" or "\r" open the word (ifcfg
    // readers skip them; to the shell they make the word a command).  After
    // them, a word shaped NAME=, NAME+= or NAME[…]= assigns: `name_end` ends
    // the name and `equals` is the index of the "="; npos for other words.
    std::size_t lead = 0;
    std::size_t name_end = npos;
    std::size_t equals = npos;

    bool is(shell_token_kind k) const { return kind == k; }
    // A word that assigns with no "\v\f\r" before its name.
    bool assignment() const { return kind == shell_token_kind::word && equals != npos && lead == 0; }
    std::string_view in(std::string_view text) const { return text.substr(begin, end - begin); }
};

// One logical line: what the rewrite needs to know of it.
struct shell_line {
    std::size_t begin = 0, end = 0; // end: its newline, or the end of the text
    // The word that opens the line once words of "\v\f\r" alone are passed
    // (kind text_end when an operator or a comment comes first, or nothing).
    shell_token key;
    bool key_first = false; // the key word is the line's first token and has no lead
    shell_token after_key;  // the token that follows the key word (text_end: none)
};

class shell_reader {
public:
    explicit shell_reader(std::string_view text) : text_(text) {}

    // Whether the text is read to its end.
    bool done() const { return at_ >= text_.size(); }

    // The next token.  A newline inside parentheses (a subshell) or an array
    // value does not end the logical line.
    shell_token next();

    // The logical line that starts here, read through its newline.
    shell_line line();

private:
    enum class state : unsigned char {
        word, escape, single_quote, double_quote, double_escape, dollar_quote, dollar_escape,
        back_quote, back_escape, array_gap, array_element, array_comment,
    };
    // How far a word matches NAME=, NAME+= or NAME[…]=.
    enum class shape : unsigned char { lead, name, subscript, subscript_end, plus, assigns, other };

    shell_token word();
    void shape_step(shell_token &token, shape &seen, std::size_t at) const;

    std::string_view text_;
    std::size_t at_ = 0;
    int open_parentheses_ = 0; // of subshells: their newlines do not end the line
    bool word_start_ = true;   // where a "#" opens a comment
};

// Whether the shell, having read `text` (whole logical lines), needs a
// command to follow: it ends in "&&", "||", "|", "!", "(", "{" or a word that
// opens a body or a condition ("if", "then", "else", …).  A word like that
// used as an argument counts too, which errs on the safe side.  Text of
// blanks and comments only changes nothing: the answer is `before`.
bool shell_wants_command(std::string_view text, bool before);

} // namespace kx
