// The rounds of kxnetctl watch: each holds the host lock, looks as check
// does and, with --repair, mends as check --repair does, through calls that
// join the lock instead of taking it again.  Between rounds it remembers
// each finding: reported once, mended at once, then (while a mend fails or
// nothing can mend it) tried again after 1 s doubling to 5 min, and told
// again only when what is found or why it fails changes.
#pragma once

#include "findings.h"
#include "watch_sources.h"

#include <chrono>
#include <map>
#include <string>

namespace kxnetctl {

enum class watch_mode { report, dry_run, repair };

// What the watcher's waits, settles and retries are timed by.
using watch_clock = std::chrono::steady_clock;

class watch_rounds {
public:
    using clock = watch_clock;
    explicit watch_rounds(watch_mode mode) : mode_(mode) {}

    // One round; a pending stop signal ends it between mends.
    void run(const watch_sources &sources);
    // The devices whose events call for the next round.
    const watch_scope &scope() const { return scope_; }
    // When a round is due with no event (a retry), or clock::time_point::max().
    clock::time_point next_due() const;

private:
    struct tracked {
        finding last;
        int tries = 0;            // failed mends, or looks at what nothing mends
        clock::time_point due{};  // the next mend or look
        std::string failure;      // why this round's mend failed
        std::string told;         // the failure last told
    };

    void look_and_mend(const watch_sources &sources);
    // A round that could not look: said once per reason, tried again later.
    void round_failed(const std::string &why);
    void note_findings(const std::vector<finding> &found, clock::time_point now);
    void mend_due(const watch_sources &sources, clock::time_point now);
    void settle_mends(const std::vector<finding> &after, clock::time_point now);
    bool due(const finding &f, clock::time_point now) const;
    bool any_due(clock::time_point now) const;
    void set_scope(const std::vector<finding> &found);

    watch_mode mode_;
    std::map<std::string, tracked> tracked_;
    watch_scope scope_;
    bool stopped_ = false;
    std::string round_failure_;          // why the last round could not look
    clock::time_point round_retry_ = clock::time_point::max();
    int round_failures_ = 0;
};

// One line of the watcher on standard output, stamped with the time unless
// standard output is systemd's journal (which stamps its own lines).
void watch_say(const std::string &line);

} // namespace kxnetctl
