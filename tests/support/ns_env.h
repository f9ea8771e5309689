// The ns lane's environment: each test process runs in a fresh network and
// mount namespace with its own sandbox root.  Helpers make real devices.
#pragma once

#include "test_support.h"

#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>

namespace kxtest::ns {

// Whether the namespace was entered; otherwise why not.
bool available();
const std::string &unavailable_reason();
// Called by the lane's main before the tests run.
void enter(bool listing_only);
void leave();

// The sandbox root of this process (KXNET_ROOT).
const std::string &root();
inline std::string at(const std::string &documented) { return root() + documented; }

// Runs a shell command; its exit status.  Output goes to the test's output.
int sh(const std::string &command);
// Runs a shell command and returns what it printed, trailing newline cut.
std::string capture(const std::string &command);

void add_veth(const std::string &a, const std::string &b);
void add_bridge(const std::string &name);
void set_up(const std::string &name);
bool device_exists(const std::string &name);
bool is_up(const std::string &name);
// Trimmed contents of a sysfs attribute of a device, "" when missing.
std::string sysfs(const std::string &device, const std::string &attribute);
// The ports of a Linux bridge from sysfs brif, sorted.
std::vector<std::string> bridge_ports(const std::string &bridge);
// The bridge a device is a port of, "" when none.
std::string master_of(const std::string &device);

// Offload settings as the kernel answers the legacy ethtool requests:
// rxcsum, txcsum, sg, tso, gso, each 0 or 1 (99 when unreadable).
using offloads = std::array<uint32_t, 5>;
offloads kernel_offloads(const std::string &device);
// Writes the settings and checks the kernel kept them.
void set_kernel_offloads(const std::string &device, const offloads &wanted);

// One line per device of the namespace, in name order: up or down, its
// bridge, a bridge's forward delay, a VLAN device's id and parent.  Two dumps
// compare the devices, ports and settings of two moments.
std::string device_dump();
// Every file under `documented` (a sandbox path) with its bytes, keyed by
// path: for checking that nothing there was written.
std::string files_under(const std::string &documented);

// Paths of this build, for tests that run the project's programs.
std::string binary_dir();
std::string source_dir();

} // namespace kxtest::ns

// Base fixture of the lane: skips (never passes) outside a namespace.
class NsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kxtest::ns::available()) GTEST_SKIP() << kxtest::ns::unavailable_reason();
    }
};
