// Exit statuses and the words for the library's result codes.
#include "outcome.h"

#include "kernel.h"
#include "kxnet_ct.h"
#include "library_call.h"

#include <cstdio>

namespace kxnetctl {

int status_of_code(int code) { return code == KXNET_OK ? status_ok : 10 + code; }

std::string see_log() { return "(see " + library_log() + ")"; }

std::string code_words(int code) {
    switch (code) {
    case KXNET_OK: return "done";
    case KXNET_ERR_EXISTS: return "it exists already";
    case KXNET_ERR_NOT_FOUND: return "it was not found";
    case KXNET_ERR_INVALID: return "an argument is not valid";
    case KXNET_ERR_BUSY: return "the interface is in use elsewhere";
    case KXNET_ERR_SYSTEM: return "the system refused " + see_log();
    case KXNET_ERR_LOCK: return "the host lock " + library_lock() + " could not be taken";
    case KXNET_ERR_DOWN: return "the device is down";
    default: return "the library answered an unknown result";
    }
}

int fail(int status, const std::string &message) {
    std::fprintf(stderr, "kxnetctl: %s\n", message.c_str());
    return status;
}

int fail_code(int code, const std::string &message) {
    const std::string &said = library_words();
    return fail(status_of_code(code), said.empty() ? message : message + " (" + said + ")");
}

int fail_for(int code, const std::string &what, std::initializer_list<reason> reasons) {
    for (const auto &r : reasons)
        if (r.code == code) return fail_code(code, what + r.words);
    return fail_code(code, what + code_words(code));
}

int refuse(const std::string &message) { return fail_code(KXNET_ERR_INVALID, message); }

const char *status_table() {
    return "Exit status:\n"
           "  0   success\n"
           "  1   check found drift between the registry and the kernel\n"
           "  2   the command line was not understood\n"
           "  11  exists already (KXNET_ERR_EXISTS)\n"
           "  12  not found (KXNET_ERR_NOT_FOUND)\n"
           "  13  not valid (KXNET_ERR_INVALID), also for values refused before the library\n"
           "  15  in use elsewhere (KXNET_ERR_BUSY)\n"
           "  16  the system refused (KXNET_ERR_SYSTEM), or a query answered nothing\n"
           "  18  the host lock could not be taken (KXNET_ERR_LOCK)\n"
           "  19  the device is down (KXNET_ERR_DOWN)\n"
           "  20  the host lock stayed held by another caller for 10 s; nothing was changed\n";
}

} // namespace kxnetctl
