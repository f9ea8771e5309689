// collect_ct_info(s): runs the link dump inside containers through the
// container-management library and turns the four lines per link that come
// back through each pipe into store updates.  Children of later containers
// start while earlier ones are reported; their output waits in memory, so no
// child ever blocks on a full pipe and the store is fed strictly in turn.
// What a container writes is bounded in bytes, records and time; past a
// bound its child is killed and reaped and it reports nothing.  Every
// handle, descriptor and child is owned by a guard, so each path releases
// them.
#include "netinfo/container_collector.h"

#include "frame/container_conf.h"
#include "frame/log.h"
#include "netinfo/link_dump.h"
#include "netinfo/link_facts.h"
#include "netinfo/store.h"
#include "sys/child.h"
#include "sys/fd.h"
#include "sys/stream.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace kx {

namespace {

constexpr std::size_t conf_path_size = 1024;
constexpr std::size_t read_chunk = 16384;

// One container's dump: its configuration (held until its pass ends), the
// child, the read end of its pipe and the output read so far.  The pipe is
// declared after the child so it closes first: a child still writing cannot
// keep the reap from returning.
struct container_dump {
    int32_t ctid = 0;
    bool started = false; // false: the container could not be entered
    bool refused = false; // past a bound: reports nothing
    std::optional<container_conf> conf;
    link_dump_args args{-1, 0, 0};
    int status = 0;
    int64_t deadline_ms = 0;
    std::size_t line_breaks = 0;
    child_process child;
    unique_fd read_end;
    std::string output;

    container_dump() = default;
    container_dump(const container_dump &) = delete;
    container_dump &operator=(const container_dump &) = delete;
    bool ended() const { return !read_end; }
    // Closes the pipe, kills and reaps the child and drops what it wrote.
    void refuse() {
        refused = true;
        read_end.reset();
        child.kill();
        child.wait();
        std::string().swap(output);
    }
};
using dump_ptr = std::unique_ptr<container_dump>;

void open_pass(int32_t ctid) {
    store_set_scope(ctid, scope_phase_collect);
    store_advance_generation();
}

void report_container_link(int32_t ctid, const link_lines &link) {
    report_link(ctid, link_view{link.name.c_str(), link.addrs, link.hwaddr, link.flags});
}

// Reads the whole output through the same line reader as a pipe stream
// would be read, so cut lines and a partial last group come out the same.
void report_container_output(const container_dump &dump) {
    if (dump.refused || dump.output.empty()) return;
    unique_file in(fmemopen(const_cast<char *>(dump.output.data()), dump.output.size(), "r"));
    if (!in) return;
    report_container_links(dump.ctid, in.get());
}

void collect_host(uint32_t flags, link_facts *facts) {
    link_dump_args args{-1, 0, flags};
    args.facts = facts;
    dump_link_info(&args);
    sweep_ifaces();
}

// Starts the dump inside container `ctid`.  A container that cannot be
// entered gives a dump that is not started and holds nothing.
dump_ptr start_dump(uint32_t flags, int32_t ctid) {
    auto dump = std::make_unique<container_dump>();
    dump->ctid = ctid;
    if (ctid == 0) return dump; // the host dumps in this process at its turn
    const auto id = static_cast<uint32_t>(ctid);
    dump->conf = open_container_conf(id, conf_path_size, KXCTL_CONF_WRITE);
    if (!dump->conf || dump->conf->param->root == nullptr) {
        dump->conf.reset();
        return dump;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        dump->conf.reset();
        return dump;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]); // the child's stream holds the only one once started
    if (kxctl_open() != 0) {
        dump->conf.reset();
        return dump;
    }
    dump->args = link_dump_args{write_end.get(), id, flags};
    int keep_fds[] = {write_end.get(), -1};
    const int pid = kxctl_env_exec_fn_async(id, dump->conf->param->root, dump_link_info, &dump->args,
                                            keep_fds, dump_exec_timeout_seconds, 0, &dump->status);
    if (pid < 0) {
        dump->conf.reset();
        return dump;
    }
    // A plain fork of the platform's: a caller ignoring SIGCHLD may already
    // have had it reaped, and then there is nothing left to wait for or kill.
    dump->child.adopt(pid);
    dump->started = true;
    dump->deadline_ms = monotonic_ms() + int64_t{dump_deadline_seconds} * 1000;
    // Drained whenever it has data, so a read must never wait.
    fcntl(read_end.get(), F_SETFL, fcntl(read_end.get(), F_GETFL) | O_NONBLOCK);
    dump->read_end = std::move(read_end);
    return dump;
}

// Takes a chunk the child wrote; false when it carries the dump past a bound.
bool keep_chunk(container_dump &dump, const char *chunk, std::size_t size) {
    dump.line_breaks += static_cast<std::size_t>(std::count(chunk, chunk + size, '\n'));
    if (dump.line_breaks > 4 * dump_records_max) {
        kxnet_log("container %d: dump passed %zu interfaces, not reported", dump.ctid, dump_records_max);
        return false;
    }
    if (dump.output.size() + size > dump_bytes_max) {
        kxnet_log("container %d: dump passed %zu bytes, not reported", dump.ctid, dump_bytes_max);
        return false;
    }
    dump.output.append(chunk, size);
    return true;
}

// Moves what the child has written into its output; closes the pipe at its
// end, and refuses the dump past a bound.
void drain(container_dump &dump) {
    char chunk[read_chunk];
    while (dump.read_end) {
        const ssize_t got = read(dump.read_end.get(), chunk, sizeof chunk);
        if (got > 0) {
            if (!keep_chunk(dump, chunk, static_cast<std::size_t>(got))) dump.refuse();
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            dump.read_end.reset();
        } else if (errno == EAGAIN) {
            return;
        }
    }
}

// Refuses a dump whose output has not ended by its deadline.
void enforce_deadline(container_dump &dump, int64_t now) {
    if (dump.ended() || now < dump.deadline_ms) return;
    kxnet_log("container %d: dump did not end within %d seconds, not reported", dump.ctid, dump_deadline_seconds);
    dump.refuse();
}

// Waits until `current` has ended its output, draining every other running
// dump as its data comes, so none of them stalls on a full pipe.  No wait
// outlasts the earliest deadline of a running dump.
void wait_for_output(container_dump &current, std::deque<dump_ptr> &ahead) {
    std::vector<pollfd> fds;
    std::vector<container_dump *> owners;
    while (!current.ended()) {
        fds.clear();
        owners.clear();
        fds.push_back({current.read_end.get(), POLLIN, 0});
        owners.push_back(&current);
        int64_t earliest = current.deadline_ms;
        for (dump_ptr &other : ahead) {
            if (other->ended()) continue;
            fds.push_back({other->read_end.get(), POLLIN, 0});
            owners.push_back(other.get());
            earliest = std::min(earliest, other->deadline_ms);
        }
        const int64_t wait_ms = std::max<int64_t>(0, earliest - monotonic_ms());
        if (poll(fds.data(), fds.size(), static_cast<int>(wait_ms)) < 0) {
            if (errno == EINTR) continue;
            current.refuse(); // cannot wait: end it rather than block
            return;
        }
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0) drain(*owners[i]);
        const int64_t now = monotonic_ms();
        for (container_dump *owner : owners) enforce_deadline(*owner, now);
    }
}

// One container's pass, in its turn.
void finish_pass(uint32_t flags, container_dump &dump, std::deque<dump_ptr> &ahead, link_facts *host_facts) {
    open_pass(dump.ctid);
    if (dump.ctid == 0) {
        collect_host(flags, host_facts);
        return;
    }
    if (!dump.started) return;
    drain(dump);
    wait_for_output(dump, ahead);
    report_container_output(dump);
    dump.child.wait_within(static_cast<int>(std::max<int64_t>(0, dump.deadline_ms - monotonic_ms())));
    sweep_ifaces();
}

} // namespace

void report_container_links(int32_t ctid, std::FILE *in) {
    link_lines link;
    while (read_link_lines(in, link)) report_container_link(ctid, link);
}

void collect_ct_infos(uint32_t flags, std::span<const int32_t> ids, link_facts *host_facts, std::size_t window) {
    if (window == 0) window = 1;
    std::deque<dump_ptr> ahead;
    std::size_t next = 0;
    for (std::size_t turn = 0; turn < ids.size(); ++turn) {
        // Children start in bursts: every fork makes the pages this process
        // writes next copy-on-write faults, so forking one at a time between
        // reports would fault on the same pages once per child.
        if (ahead.empty() || ahead.size() <= window / 2)
            while (next < ids.size() && ahead.size() < window) ahead.push_back(start_dump(flags, ids[next++]));
        dump_ptr current = std::move(ahead.front());
        ahead.pop_front();
        finish_pass(flags, *current, ahead, host_facts);
    }
}

void collect_ct_info(uint32_t flags, int32_t ctid) { collect_ct_infos(flags, std::span<const int32_t>(&ctid, 1), nullptr, 1); }

} // namespace kx
