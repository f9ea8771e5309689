// The fuzz targets' scratch root.
#include "fuzz_root.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kxfuzz {

const std::string &root() {
    static const std::string path = [] {
        char templ[] = "/tmp/kxnet-fuzz.XXXXXX";
        if (mkdtemp(templ) == nullptr) std::abort();
        setenv("KXNET_ROOT", templ, 1);
        return std::string(templ);
    }();
    return path;
}

std::string at(std::string_view documented) { return root() + std::string(documented); }

void put(std::string_view documented, std::string_view content) {
    std::filesystem::path path = at(documented);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void empty_dir(std::string_view documented) {
    std::filesystem::remove_all(at(documented));
    std::filesystem::create_directories(at(documented));
}

} // namespace kxfuzz
