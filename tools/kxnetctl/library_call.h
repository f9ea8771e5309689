// A library call with its standard error diverted: the library's netlink
// layer prints kernel refusals there ("RTNETLINK answers: ..."), and a
// failure must still be one line, so what it said is kept and folded into
// kxnetctl's own message (outcome.h); after a success it is printed as is.
#pragma once

#include <functional>
#include <string>

namespace kxnetctl {

int library_call(const std::function<int()> &call);

// What the library printed during the last failed library_call, joined into
// one line; empty when it printed nothing.
const std::string &library_words();

} // namespace kxnetctl
