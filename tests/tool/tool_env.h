// Running kxnetctl as a user would, inside the ns lane's namespace and
// sandbox root: a process with arguments, its status, standard output and
// standard error, and a picture of the host to compare before and after.
#pragma once

#include "ns_env.h"

#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kxtest::tool {

struct result {
    int status = -1;
    std::string out;
    std::string err;
    nlohmann::json json() const { return nlohmann::json::parse(out); }
    // The lines of standard error.
    std::vector<std::string> err_lines() const;
};

// Starts kxnetctl with `args` (no shell), the environment of this process
// and `env`, its output streams into the two files; its pid, -1 on failure.
pid_t spawn_kxnetctl(const std::vector<std::string> &args, const std::string &out_path, const std::string &err_path,
                     const std::vector<std::string> &env = {});
// Runs kxnetctl with `args` (no shell) and the environment of this process.
result kxnetctl(const std::vector<std::string> &args, const std::vector<std::string> &env = {});
// Runs the container stand-in tool; its exit status.
int kxct(const std::string &args);

// What a refused command must leave alone: the registry, the ifcfg files
// and the kernel's devices with their masters and addresses.
std::string host_picture();

// The sandbox layout the library writes into, and a veth pair standing in
// for a NIC (up, the peer up too).
void prepare_root();
void add_nic(const std::string &name);
// The container kernel's via-physical-device switch of a bridge as a file.
void add_switch_fixture(const std::string &bridge);
std::string master_of(const std::string &device);

// Network web on bridge brweb with NIC nic0 and the host end veth101.0 of
// running container 101, and the address 10.9.9.1/24 on NIC nic1.
void build_web_host();

// The kinds of the findings of a `--json check` document, in its order.
std::vector<std::string> finding_kinds(const result &r);
// A check that exits 0 and prints its clean line.
void expect_clean();

// Whether `text` contains `part`.
inline bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace kxtest::tool

class ToolTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        kxtest::tool::prepare_root();
    }
};

// The SuSE layout, so that bridges have ifcfg files too, with the web host
// of build_web_host; its container is stopped at the end.
class SuseWebTest : public ToolTest {
protected:
    void SetUp() override;
    void TearDown() override;
};
