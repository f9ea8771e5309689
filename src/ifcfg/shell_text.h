// How a shell reading an ifcfg file groups its text: where a logical line
// ends (a quote left open or a backslash before the newline carries it on)
// and where the word that is an assignment's value ends.  The address
// rewrite uses it so that it never edits text inside another line's value
// and never drops what follows a value it replaces.
#pragma once

#include <cstddef>
#include <string_view>

namespace kx {

// The index of the newline that ends the logical line starting at `from`,
// or text.size() when the text ends first (inside a quote, a comment or
// after a backslash-newline).  Quotes ('', "", $'', ``), backslashes and
// parentheses are read as the shell reads them; a "#" at the start of a
// word runs to the end of its line.
std::size_t shell_line_end(std::string_view text, std::size_t from);

// The index just past the shell word that starts at `from`: it ends at an
// unquoted blank (space or tab), newline, or one of ";&|<>()", and runs over
// quotes and backslash-newlines; an array value "( … )" runs to its ")"
// and on over any text that follows it directly.
std::size_t shell_word_end(std::string_view text, std::size_t from);

// Whether the logical line ends where the shell still needs a command to
// follow: after "&&", "||", "|", "!", "(", "{" or a word that opens a body
// or a condition ("if", "then", "else", …).  A word like that used as an
// argument counts too, which errs on the safe side.  A line of blanks and
// comments only changes nothing: the answer is `before`.
bool shell_line_wants_command(std::string_view line, bool before);

} // namespace kx
