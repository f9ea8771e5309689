// The tool tests' process runner and host picture.
#include "tool_env.h"

#include "test_support.h"

#include <cstdio>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace ns = kxtest::ns;

namespace kxtest::tool {

std::vector<std::string> result::err_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

pid_t spawn_kxnetctl(const std::vector<std::string> &args, const std::string &out_path, const std::string &err_path,
                     const std::vector<std::string> &env) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string program = ns::binary_dir() + "/tools/kxnetctl/kxnetctl";
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    for (const auto &e : env) env_text.push_back(e);
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

result kxnetctl(const std::vector<std::string> &args, const std::vector<std::string> &env) {
    const std::string out_path = ns::at("/tmp/kxnetctl.out"), err_path = ns::at("/tmp/kxnetctl.err");
    result r;
    const pid_t child = spawn_kxnetctl(args, out_path, err_path, env);
    if (child < 0) return r;
    int status = 0;
    waitpid(child, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

void build_web_host() {
    ASSERT_EQ(kxct("create 101 --veth veth101.0:web"), 0);
    ASSERT_EQ(kxct("start 101"), 0);
    ASSERT_EQ(kxnetctl({"network", "add", "web", "--bridge", "brweb"}).status, 0);
    add_switch_fixture("brweb");
    add_nic("nic0");
    add_nic("nic1");
    ASSERT_EQ(kxnetctl({"attach", "web", "nic0"}).status, 0);
    ASSERT_EQ(kxnetctl({"addr", "set", "nic1", "10.9.9.1/24"}).status, 0);
}

std::vector<std::string> finding_kinds(const result &r) {
    std::vector<std::string> kinds;
    const nlohmann::json doc = r.json();
    for (const auto &f : doc.at("findings")) kinds.push_back(f.at("kind"));
    return kinds;
}

void expect_clean() {
    result r = kxnetctl({"check"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "clean: ")) << r.out;
}

int kxct(const std::string &args) { return ns::sh(ns::binary_dir() + "/platform/kxct/kxct " + args); }

std::string host_picture() {
    std::string picture;
    for (const char *path : {"/etc/kx/kxnet.conf"})
        picture += file_exists(ns::at(path)) ? read_file(ns::at(path)) : "(none)\n";
    for (const auto &dir : {"/etc/sysconfig/network-scripts", "/etc/sysconfig/network"})
        for (const auto &name : list_dir(ns::at(dir))) picture += std::string(dir) + "/" + name + "\n";
    picture += ns::capture("ip -o link show | sed 's/^[0-9]*: //; s/ state .*//; s/qlen.*//'");
    picture += ns::capture("ip -o addr show | awk '{print $2, $4}'");
    return picture;
}

void prepare_root() {
    make_dirs(ns::at("/etc/kx"));
    make_dirs(ns::at("/etc/sysconfig/network-scripts"));
}

void add_nic(const std::string &name) {
    ns::add_veth(name, name + "-w");
    ns::set_up(name);
    ns::set_up(name + "-w");
}

void add_switch_fixture(const std::string &bridge) {
    write_file(ns::at("/sys/class/net/" + bridge + "/bridge/via_phys_dev"), "0");
}

std::string master_of(const std::string &device) {
    char target[PATH_MAX] = {};
    ssize_t n = readlink(("/sys/class/net/" + device + "/master").c_str(), target, sizeof target - 1);
    if (n < 0) return "";
    std::string path(target, static_cast<size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

} // namespace kxtest::tool

void SuseWebTest::SetUp() {
    ToolTest::SetUp();
    if (IsSkipped()) return;
    kxtest::write_file(ns::at("/etc/SuSE-release"), "SUSE\n");
    kxtest::make_dirs(ns::at("/etc/sysconfig/network"));
    ASSERT_NO_FATAL_FAILURE(kxtest::tool::build_web_host());
}

void SuseWebTest::TearDown() {
    if (!IsSkipped()) kxtest::tool::kxct("stop 101");
}
