// Reading the test aids of the time limits, and the limits in words.
#include "wait_limits.h"

#include <cstdlib>

namespace kxnetctl {

int shortened_limit_ms(const char *variable, int limit_ms) {
    const char *text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return limit_ms;
    char *end = nullptr;
    const long asked = std::strtol(text, &end, 10);
    if (*end != '\0' || asked < 0 || asked >= limit_ms) return limit_ms;
    return static_cast<int>(asked);
}

std::string limit_words(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

} // namespace kxnetctl
