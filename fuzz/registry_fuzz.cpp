// The registry loader on arbitrary files, and its round trip: what a save
// writes, the next load must read back, so a second save writes the same.
#include "fuzz_root.h"
#include "registry/model.h"
#include "registry/registry_file.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char *registry = "/etc/kx/kxnet.conf";

std::string saved_text() {
    kx::registry_save();
    std::ifstream in(kxfuzz::at(registry), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Two networks on one bridge cannot be told apart by the file's keys: the
// load gives every IFLST_ line of that bridge to the first.
bool bridges_unique() {
    std::vector<std::string> seen;
    for (const kx::network &n : kx::registry_networks()) {
        for (const std::string &b : seen)
            if (b == n.bridge()) return false;
        seen.push_back(n.bridge());
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kxfuzz::put(registry, std::string_view(reinterpret_cast<const char *>(data), size));
    if (kx::registry_load() != 0) std::abort();
    const bool comparable = bridges_unique();
    const std::string first = saved_text();
    if (kx::registry_load() != 0) std::abort();
    const std::string second = saved_text();
    if (comparable && first != second) std::abort();
    kx::networks_clear();
    kx::vlans_clear();
    kx::addrs_clear();
    return 0;
}
