// The readers of the container kernel's pair lists ("/proc/kx/veth",
// "/proc/kx/vmth") and of the kernel's VLAN table ("/proc/net/vlan/config"),
// each given the same arbitrary file.
#include "fuzz_root.h"
#include "netinfo/host_collectors.h"
#include "netinfo/store.h"
#include "registry/model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    kxfuzz::put("/proc/kx/veth", text);
    kxfuzz::put("/proc/kx/vmth", text);
    kxfuzz::put("/proc/net/vlan/config", text);
    kx::read_proc_veth(1);
    kx::read_proc_vmth();
    kx::read_vlan_devices();
    kx::veth_pairs_clear();
    kx::store_reset_for_tests();
    return 0;
}
