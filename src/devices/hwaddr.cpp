// Hardware addresses for the library's pair devices: random, with 0xfe as
// the first byte so they are unicast and locally administered.
#include "devices/ports.h"

#include "sys/error.h"
#include "sys/fd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kx {

int gen_hwaddr(unsigned char *address) {
    constexpr size_t length = 6;
    // The kernel's random device is never taken under the sandbox root.
    unique_fd random(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!random) return failed_errno();
    ssize_t got;
    do {
        got = read(random.get(), address, length);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return failed_errno();
    if (static_cast<size_t>(got) < length) return -EINVAL;
    address[0] = 0xfe;
    return 0;
}

} // namespace kx
