// The container collector's reading of the dump's four lines per link, as
// they come back through the pipe, reported to the store.
#include "netinfo/container_collector.h"
#include "netinfo/store.h"

#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<char> bytes(data, data + size);
    std::FILE *in = fmemopen(bytes.data(), bytes.size(), "r");
    if (in == nullptr) return 0;
    kx::report_container_links(static_cast<int32_t>(data[0] % 3), in);
    std::fclose(in);
    kx::store_reset_for_tests();
    return 0;
}
