// A watch round: the host lock, the host-stopped mark, the findings and
// their mends, and the scope the next events are judged by.
#include "watch_rounds.h"

#include "api.h"
#include "frame/host_state.h"
#include "frame/state.h"
#include "host_lock.h"
#include "kernel.h"
#include "mends.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kxnetctl {

namespace {

using namespace std::chrono_literals;
using clock = watch_rounds::clock;

constexpr auto first_retry = 1s;
constexpr auto last_retry = 5min;

// 1 s after the first failure, doubling up to 5 min.
clock::duration retry_after(int tries) {
    const auto wait = first_retry * (1LL << std::min(tries > 0 ? tries - 1 : 0, 9));
    return std::min<clock::duration>(wait, last_retry);
}

std::string seconds_words(clock::duration wait) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) + " s";
}

std::string key_of(const finding &f) { return f.kind + '\x1f' + f.subject + '\x1f' + f.address; }

bool mendable(const finding &f) { return f.mend != mend::none && !f.orphan(); }

// Standard output is the journal when JOURNAL_STREAM names its device and inode.
bool journal_output() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat out {};
    if (stream == nullptr || fstat(STDOUT_FILENO, &out) != 0) return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == out.st_dev && inode == out.st_ino;
}

std::vector<std::string> ports_of(const std::string &bridge) {
    std::vector<std::string> ports;
    std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(("/sys/class/net/" + bridge + "/brif").c_str()), closedir);
    if (!listing) return ports;
    while (const dirent *entry = readdir(listing.get()))
        if (entry->d_name[0] != '.') ports.emplace_back(entry->d_name);
    return ports;
}

} // namespace

void watch_say(const std::string &line) {
    static const bool stamped = !journal_output();
    if (stamped) {
        char stamp[40] = {};
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
        std::fputs(stamp, stdout);
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

clock::time_point watch_rounds::next_due() const {
    clock::time_point due = round_retry_;
    if (stopped_) return due;
    for (const auto &[key, t] : tracked_) {
        // What is only reported waits for a look; what is mended, for its retry.
        if (mode_ != watch_mode::repair && mendable(t.last)) continue;
        due = std::min(due, t.due);
    }
    return due;
}

void watch_rounds::round_failed(const std::string &why) {
    if (why != round_failure_) watch_say("not checked  " + why + "; tried again later");
    round_failure_ = why;
    round_retry_ = clock::now() + retry_after(++round_failures_);
}

void watch_rounds::run(const watch_sources &sources) {
    const host_lock lock(true, [&] { return sources.stop_pending(); });
    if (lock.stopped()) return; // the watcher ends: no round, and no line that blames another caller
    if (!lock.held()) {
        const std::string why = "the host lock " + library_lock() +
                                (lock.timed_out() ? " is held by another caller" : " cannot be opened soundly");
        round_failed(why);
        return;
    }
    // The library's calls in this round join the lock held here.
    kx::joined_host_lock joined;
    look_and_mend(sources);
}

void watch_rounds::look_and_mend(const watch_sources &sources) {
    if (kx::host_stopped()) {
        if (!stopped_)
            watch_say("host stopped  " + kx::paths::rooted(kx::paths::host_stopped_mark) +
                      " is there: nothing is mended until host start");
        stopped_ = true;
        round_retry_ = clock::time_point::max();
        return;
    }
    if (stopped_) watch_say("host started  watching again");
    stopped_ = false;
    host_look look = look_at_host();
    if (look.failed()) {
        round_failed(look.failure);
        return;
    }
    round_failure_.clear();
    round_failures_ = 0;
    round_retry_ = clock::time_point::max();
    const auto now = clock::now();
    note_findings(look.found, now);
    if (mode_ == watch_mode::repair && any_due(now)) {
        mend_due(sources, now);
        if (host_look after = look_at_host(); !after.failed()) look = std::move(after);
        settle_mends(look.found, now);
    }
    set_scope(look.found);
}

// New findings told once; findings gone by themselves told and forgotten;
// a look at what cannot be mended here pushes its next look back.
void watch_rounds::note_findings(const std::vector<finding> &found, clock::time_point now) {
    std::map<std::string, tracked> kept;
    for (const auto &f : found) {
        const std::string key = key_of(f);
        auto known = tracked_.find(key);
        if (known == tracked_.end()) {
            std::string line = f.kind + "  " + f.message;
            if (mode_ == watch_mode::dry_run && mendable(f)) line = "would repair  " + f.past + ": " + mend_words(f);
            else if (!f.hint.empty()) line += " (to mend: " + f.hint + ")";
            watch_say(line);
            tracked t{f, 0, now, "", ""};
            if (!mendable(f) || mode_ != watch_mode::repair) t.due = now + retry_after(++t.tries);
            kept.emplace(key, std::move(t));
            continue;
        }
        tracked t = std::move(known->second);
        if ((!mendable(f) || mode_ != watch_mode::repair) && now >= t.due) t.due = now + retry_after(++t.tries);
        t.last = f;
        kept.emplace(key, std::move(t));
    }
    for (const auto &[key, t] : tracked_)
        if (kept.count(key) == 0) watch_say("cleared  " + t.last.past);
    tracked_ = std::move(kept);
}

bool watch_rounds::any_due(clock::time_point now) const {
    return std::any_of(tracked_.begin(), tracked_.end(),
                       [&](const auto &entry) { return mendable(entry.second.last) && now >= entry.second.due; });
}

bool watch_rounds::due(const finding &f, clock::time_point now) const {
    const auto known = tracked_.find(key_of(f));
    return known != tracked_.end() && mendable(f) && now >= known->second.due;
}

// One host start for every restore that is due, then, on a fresh look, the
// narrower mends that are due.  A stop signal ends the round between mends.
void watch_rounds::mend_due(const watch_sources &sources, clock::time_point now) {
    bool restore = false;
    for (auto &[key, t] : tracked_) {
        t.failure.clear();
        restore = restore || (t.last.mend == mend::restore && now >= t.due);
    }
    if (restore && !sources.stop_pending()) {
        std::string why;
        if (!restore_host(why))
            for (auto &[key, t] : tracked_)
                if (t.last.mend == mend::restore && now >= t.due) t.failure = why;
    }
    const host_look left = look_at_host();
    if (left.failed()) return;
    for (const auto &f : left.found) {
        if (f.mend == mend::restore || !due(f, now) || sources.stop_pending()) continue;
        std::string failed;
        if (!mend_finding(f, failed)) tracked_[key_of(f)].failure = failed;
    }
}

// After the mends: what is gone was repaired; what is left and was due has
// failed, and waits for its next try.
void watch_rounds::settle_mends(const std::vector<finding> &after, clock::time_point now) {
    std::map<std::string, const finding *> left;
    for (const auto &f : after) left.emplace(key_of(f), &f);
    for (auto it = tracked_.begin(); it != tracked_.end();) {
        tracked &t = it->second;
        const bool was_due = mendable(t.last) && now >= t.due;
        const auto still = left.find(it->first);
        if (still == left.end()) {
            watch_say((was_due ? "repaired  " : "cleared  ") + t.last.past);
            it = tracked_.erase(it);
            continue;
        }
        if (was_due) {
            t.last = *still->second;
            const std::string why = t.failure.empty() ? "it is still there after its mend" : t.failure;
            const auto wait = retry_after(++t.tries);
            t.due = now + wait;
            if (why != t.told)
                watch_say("not repaired  " + t.last.message + ": " + why + "; next try in " + seconds_words(wait));
            t.told = why;
        }
        ++it;
    }
    // Findings a mend of another one brought up are told as they are found.
    note_findings(after, now);
}

// The registry's devices, the findings' subjects and every port of a
// registered bridge; the switch's own device, whose ports are theirs.
void watch_rounds::set_scope(const std::vector<finding> &found) {
    watch_scope scope;
    if (auto networks = configured_networks())
        for (const auto &n : *networks) {
            scope.add(n.bridge);
            for (const auto &port : ports_of(n.bridge)) scope.add(port);
            for (const auto &i : n.ifaces) scope.add(i);
            if (n.phys_iface.empty()) continue;
            for (const auto &p : {n.phys_iface, "br-" + n.phys_iface, "veth-" + n.phys_iface + ".0", "veth-" + n.phys_iface + ".1"})
                scope.add(p);
        }
    for (const auto &v : registered_vlans()) scope.add(v.parent);
    for (const auto &device : registered_address_devices()) scope.add(device);
    for (const auto &f : found) scope.add(f.subject);
    scope.add("ovs-system");
    scope_ = std::move(scope);
}

} // namespace kxnetctl
