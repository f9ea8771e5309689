// The programs kxnetctl runs itself (ip, ovs-vsctl): found only on the
// library's fixed command path, never the caller's PATH, and run with that
// PATH as their whole environment, so nothing a caller plants or exports
// reaches a program that runs as root.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kxnetctl {

// Where `program` is on the fixed command path (the sandbox root's sbin
// folders first), or "" when it is on none of it.
std::string find_program(const std::string &program);

// Runs a program found by find_program with its arguments, no shell, with
// standard input and error as kxnetctl's (error to /dev/null) and no other
// descriptor; what it printed on standard output, or nullopt when it could
// not run, failed, or had not ended within the time limit (then it is killed).
std::optional<std::string> run_program(const std::vector<std::string> &argv);

} // namespace kxnetctl
