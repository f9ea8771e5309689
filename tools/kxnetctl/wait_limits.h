// The time limits of kxnetctl's own waits (for the host lock, for the
// programs it runs), each of which a test may shorten but nothing lengthen.
#pragma once

#include <string>

namespace kxnetctl {

// `limit_ms`, or the smaller number of milliseconds the environment
// variable `variable` gives.  A test aid: a value that is not a number, or
// is not below the limit, leaves the limit as it is, so a caller's
// environment can never make a stuck host hang kxnetctl longer.
int shortened_limit_ms(const char *variable, int limit_ms);

// "10 s", "1500 ms": a limit in words.
std::string limit_words(int ms);

} // namespace kxnetctl
