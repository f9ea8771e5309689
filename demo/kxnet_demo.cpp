// A walk through the library in a sandbox: run by scripts/demo.sh inside a
// fresh network and mount namespace with KXNET_ROOT at a scratch directory.
// It calls the exported API and prints what each call did and logged.
#include "kxnet_ct.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string root() {
    const char *r = std::getenv("KXNET_ROOT");
    return r != nullptr ? r : "";
}

void show_log() {
    std::ifstream log(root() + "/var/log/kxnetcfg.log");
    std::string line;
    std::printf("--- %s/var/log/kxnetcfg.log\n", root().c_str());
    while (std::getline(log, line)) std::printf("    %s\n", line.c_str());
}

} // namespace

int main() {
    if (root().empty()) {
        std::fprintf(stderr, "kxnet_demo: run it through scripts/demo.sh (needs KXNET_ROOT)\n");
        return 2;
    }
    std::printf("kxnet demo in sandbox %s\n", root().c_str());

    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, "demo-net", nullptr, 0, 0);
    std::printf("kxnet_get_simple_filter(ALL, network \"demo-net\") -> %s, network_id=\"%s\"\n",
                filter != nullptr ? "filter" : "null",
                filter != nullptr && filter->network_id != nullptr ? filter->network_id : "");
    kxnet_release_filter(filter);

    show_log();
    return 0;
}
