// The fuzz targets' scratch root.
#include "fuzz_root.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kxfuzz {

const std::string &root() {
    static const std::string path = [] {
        // In memory where the host has /dev/shm: every save syncs its file and
        // directory, which on a disk would bound the run at the disk's pace.
        char in_memory[] = "/dev/shm/kxnet-fuzz.XXXXXX";
        char on_disk[] = "/tmp/kxnet-fuzz.XXXXXX";
        char *templ = mkdtemp(in_memory) != nullptr ? in_memory : on_disk;
        if (templ == on_disk && mkdtemp(on_disk) == nullptr) std::abort();
        setenv("KXNET_ROOT", templ, 1);
        return std::string(templ);
    }();
    // Registered after `path` is made, so it runs before `path` is destroyed.
    [[maybe_unused]] static const int removed_at_exit = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root(), ignored);
    });
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
