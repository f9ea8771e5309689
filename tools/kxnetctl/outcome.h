// How kxnetctl ends: one line on standard error naming what failed and why,
// and an exit status derived from the library's result code.
//
//   0          success
//   1          check found drift between the registry and the kernel
//   2          the command line was not understood
//   10 + code  the library's result code (11 exists, 12 not found,
//              13 invalid, 15 busy, 16 system, 18 lock, 19 down); bad
//              values caught before the library is called count as 13,
//              a query the library answers with nothing as 16
//   20         the host lock was held by another caller for the whole wait
//              (host_lock.h); nothing was changed
#pragma once

#include <initializer_list>
#include <string>

namespace kxnetctl {

// The statuses of their own, apart from 10 + code.
enum exit_status : int { status_ok = 0, status_drift = 1, status_usage = 2, status_lock_wait = 20 };

int status_of_code(int code);
// The result code in words, for messages that have nothing better to say.
std::string code_words(int code);
// "(see <the library's log>)", pointing at the log the library writes.
std::string see_log();

// Prints "kxnetctl: <message>" on standard error; returns `status`.
int fail(int status, const std::string &message);
// A library failure: the message, then the exit status of `code`.
int fail_code(int code, const std::string &message);
// A value refused before it reached the library (as KXNET_ERR_INVALID).
int refuse(const std::string &message);

// A failure whose reason depends on the code: `what` and the words
// `reasons` give for `code`, or the code in words.
struct reason {
    int code;
    std::string words;
};
int fail_for(int code, const std::string &what, std::initializer_list<reason> reasons);

// The status table, as --help and the manual print it.
const char *status_table();

} // namespace kxnetctl
