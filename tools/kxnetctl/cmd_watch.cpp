// watch: kxnetctl check kept running.  It sleeps in one poll until an event
// concerns a registered device or file, lets the events settle for 100 ms,
// then runs a round (watch_rounds.h); SIGTERM or SIGINT ends it with
// status 0 and the host lock free.
#include "commands.h"

#include "kxnet_ct.h"
#include "outcome.h"
#include "watch_rounds.h"
#include "watch_sources.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace kxnetctl {

namespace {

using namespace std::chrono_literals;

// Events come in bursts (a bridge's removal is one per port): a round waits
// until none came for this long, but never longer than settle_limit.
constexpr auto settle_quiet = 100ms;
constexpr auto settle_limit = 1s;
// After a read of events none of which concerned us, a pause before the
// next wait, so that a flood of unrelated ones is read in batches rather
// than with a wakeup each.  Idle, the watcher still sleeps in one wait.
constexpr auto unrelated_pause = 2ms;

int wait_ms(watch_clock::time_point until) {
    if (until == watch_clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - watch_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 3'600'000));
}

const char *mode_words(watch_mode mode) {
    switch (mode) {
    case watch_mode::repair: return "mending what drifts";
    case watch_mode::dry_run: return "saying how it would mend (--dry-run)";
    case watch_mode::report: return "reporting what drifts";
    }
    return "";
}

} // namespace

int watch(const watch_request &request) {
    const watch_mode mode = request.dry_run ? watch_mode::dry_run : request.repair ? watch_mode::repair : watch_mode::report;
    watch_sources sources;
    if (!sources.open()) return status_of_code(KXNET_ERR_SYSTEM);
    watch_rounds rounds(mode);
    rounds.run(sources);
    watch_say(std::string("watching  ") + mode_words(mode));
    watch_clock::time_point burst_start = watch_clock::time_point::max(), settled = watch_clock::time_point::max();
    for (;;) {
        const wakeup seen = sources.wait(wait_ms(std::min(settled, rounds.next_due())), rounds.scope());
        if (seen.stop) break;
        if (seen.busy) std::this_thread::sleep_for(unrelated_pause);
        const auto now = watch_clock::now();
        if (seen.lost) watch_say("events lost  the kernel dropped some: looking at everything");
        if (seen.relevant || seen.lost) {
            if (burst_start == watch_clock::time_point::max()) burst_start = now;
            settled = std::min(now + settle_quiet, burst_start + settle_limit);
        }
        if (now < std::min(settled, rounds.next_due())) continue;
        sources.watch_folders();
        rounds.run(sources);
        burst_start = settled = watch_clock::time_point::max();
    }
    watch_say("stopped");
    return status_ok;
}

} // namespace kxnetctl
