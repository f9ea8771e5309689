// What wakes kxnetctl watch: rtnetlink link and IPv4 address events, inotify
// on the folders of the registry, the ifcfg files and the host-stopped mark
// (the library replaces files by rename, so a watch on a file goes stale),
// and SIGTERM or SIGINT through a signalfd.  One poll waits on all three;
// events about devices and files the registry does not concern are dropped
// here, so a busy host with unrelated links costs a parse per event.
#pragma once

#include "sys/fd.h"

#include <string>
#include <unordered_set>

namespace kxnetctl {

// The devices whose events matter: those the registry and the last
// check's findings name, the ports of registered bridges, and (by index)
// what is a port of, or a VLAN over, one of them.
struct watch_scope {
    std::unordered_set<std::string> names;
    std::unordered_set<int> indexes;
    void add(const std::string &name);
};

// What one wait saw.
struct wakeup {
    bool stop = false;     // SIGTERM or SIGINT
    bool relevant = false; // an event the scope concerns
    bool lost = false;     // the kernel dropped events (ENOBUFS, inotify overflow)
    bool busy = false;     // link events came, none of them relevant
};

class watch_sources {
public:
    // false (with a line on standard error) when a source cannot be opened.
    bool open();
    // Waits at most `timeout_ms` (-1: without end) and reads what came.
    wakeup wait(int timeout_ms, const watch_scope &scope);
    // Whether a stop signal is pending, without reading it.
    bool stop_pending() const;
    // Adds the folder watches that could not be added before (a folder
    // made since); cheap when all are in place.
    void watch_folders();

private:
    bool read_links(const watch_scope &scope, wakeup &seen);
    bool read_files(wakeup &seen);
    kx::unique_fd links_, files_, signals_;
    int registry_dir_ = -1, ifcfg_dir_ = -1, run_dir_ = -1;
};

} // namespace kxnetctl
