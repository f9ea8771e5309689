// host start and host stop: the registered devices restored at host start
// and shut down at host stop (what kxnet.service runs).
#include "commands.h"

#include "kxnet_ct.h"
#include "library_call.h"
#include "outcome.h"

namespace kxnetctl {

int host_start(const output &out) {
    int code = library_call([&] { return kxnet_init_devices(); });
    if (code != KXNET_OK) return fail_code(code, std::string("cannot restore the registered devices: ") + code_words(code));
    print_done(out, {{"host", "started"}});
    return status_ok;
}

int host_stop(const output &out) {
    int code = library_call([&] { return kxnet_destroy_devices(); });
    if (code != KXNET_OK) return fail_code(code, std::string("cannot shut down the registered devices: ") + code_words(code));
    print_done(out, {{"host", "stopped"}});
    return status_ok;
}

} // namespace kxnetctl
