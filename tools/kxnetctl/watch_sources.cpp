// The watcher's three sources and the filter over their events.
#include "watch_sources.h"

#include "kernel.h"
#include "rtnl/rtnl.h"
#include "sys/paths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxnetctl {

namespace {

// Large enough to ride out a burst of a few thousand link events; past it
// the kernel says ENOBUFS and the watcher looks at everything.
constexpr int link_receive_buffer = 4 << 20;
constexpr uint32_t folder_events =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

std::string folder_of(const std::string &path) { return path.substr(0, path.rfind('/')); }
std::string_view file_name(std::string_view path) { return path.substr(path.rfind('/') + 1); }

int open_link_events() {
    kx::unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd) return -1;
    // As root the buffer may pass the system's limit; otherwise as large as allowed.
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &link_receive_buffer, sizeof link_receive_buffer) != 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &link_receive_buffer, sizeof link_receive_buffer);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) return -1;
    return fd.release();
}

int open_stop_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    return signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
}

// A link message's ifindex, name, master and lower device, as the scope
// judges it.
bool link_concerns(const watch_scope &scope, const nlmsghdr *message) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return false;
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
    if (scope.indexes.count(info->ifi_index) != 0) return true;
    const rtattr *table[IFLA_MAX + 1] = {};
    kx::rtattr_table_by_type(table, IFLA_MAX, kx::first_rtattr(message, sizeof(ifinfomsg)),
                             kx::rtattr_run_length(message, sizeof(ifinfomsg)));
    for (int related : {IFLA_MASTER, IFLA_LINK}) {
        const rtattr *a = table[related];
        if (a != nullptr && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
            uint32_t index = 0;
            std::memcpy(&index, RTA_DATA(a), sizeof index);
            if (scope.indexes.count(static_cast<int>(index)) != 0) return true;
        }
    }
    const rtattr *name = table[IFLA_IFNAME];
    if (name == nullptr) return false;
    const char *text = static_cast<const char *>(RTA_DATA(name));
    return scope.names.count(std::string(text, strnlen(text, RTA_PAYLOAD(name)))) != 0;
}

bool message_concerns(const watch_scope &scope, const nlmsghdr *message) {
    switch (message->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: return link_concerns(scope, message);
    case RTM_NEWADDR:
    case RTM_DELADDR:
        return message->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg)) &&
               scope.indexes.count(static_cast<int>(static_cast<const ifaddrmsg *>(NLMSG_DATA(message))->ifa_index)) != 0;
    default: return false;
    }
}

} // namespace

void watch_scope::add(const std::string &name) {
    if (name.empty() || !names.insert(name).second) return;
    if (const unsigned index = if_nametoindex(name.c_str()); index != 0) indexes.insert(static_cast<int>(index));
}

bool watch_sources::open() {
    links_.reset(open_link_events());
    files_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    signals_.reset(open_stop_signals());
    if (!links_ || !files_ || !signals_) {
        std::fprintf(stderr, "kxnetctl: watch: cannot open its event sources: %s\n", std::strerror(errno));
        return false;
    }
    watch_folders();
    return true;
}

void watch_sources::watch_folders() {
    auto add = [this](int &wd, const std::string &folder) {
        if (wd < 0) wd = inotify_add_watch(files_.get(), folder.c_str(), folder_events | IN_ONLYDIR);
    };
    add(registry_dir_, kx::paths::rooted(kx::paths::registry_dir));
    add(ifcfg_dir_, folder_of(ifcfg_path("")));
    add(run_dir_, folder_of(kx::paths::rooted(kx::paths::host_stopped_mark)));
}

bool watch_sources::read_links(const watch_scope &scope, wakeup &seen) {
    alignas(nlmsghdr) char buffer[65536];
    for (;;) {
        sockaddr_nl sender{};
        socklen_t sender_length = sizeof sender;
        const ssize_t got = recvfrom(links_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&sender),
                                     &sender_length);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {
                seen.lost = true;
                continue;
            }
            return errno == EAGAIN;
        }
        // Only the kernel speaks for the links.
        if (sender.nl_pid != 0) continue;
        seen.busy = true;
        // The messages of one datagram, each whole within it.
        for (size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<size_t>(got);) {
            const auto *m = reinterpret_cast<const nlmsghdr *>(buffer + at);
            if (m->nlmsg_len < sizeof(nlmsghdr) || m->nlmsg_len > static_cast<size_t>(got) - at) break;
            if (!seen.relevant && message_concerns(scope, m)) seen.relevant = true;
            at += NLMSG_ALIGN(m->nlmsg_len);
        }
    }
}

bool watch_sources::read_files(wakeup &seen) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = read(files_.get(), buffer, sizeof buffer);
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if ((e->mask & IN_Q_OVERFLOW) != 0) seen.lost = true;
            if ((e->mask & IN_IGNORED) != 0) {
                // The folder went: watched again once it is back.
                for (int *wd : {&registry_dir_, &ifcfg_dir_, &run_dir_})
                    if (*wd == e->wd) *wd = -1;
                seen.relevant = true;
                continue;
            }
            const std::string name = e->len > 0 ? std::string(e->name, strnlen(e->name, e->len)) : "";
            if ((e->wd == registry_dir_ && name == file_name(kx::paths::registry)) ||
                (e->wd == ifcfg_dir_ && name.rfind("ifcfg-", 0) == 0) ||
                (e->wd == run_dir_ && name == file_name(kx::paths::host_stopped_mark)))
                seen.relevant = true;
        }
    }
}

wakeup watch_sources::wait(int timeout_ms, const watch_scope &scope) {
    pollfd fds[3] = {{signals_.get(), POLLIN, 0}, {links_.get(), POLLIN, 0}, {files_.get(), POLLIN, 0}};
    wakeup seen;
    if (poll(fds, 3, timeout_ms) < 0) return seen;
    if ((fds[0].revents & POLLIN) != 0) {
        signalfd_siginfo info{};
        while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) seen.stop = true;
    }
    if ((fds[1].revents & (POLLIN | POLLERR)) != 0 && !read_links(scope, seen)) seen.lost = true;
    if ((fds[2].revents & POLLIN) != 0) read_files(seen);
    seen.busy = seen.busy && !seen.relevant;
    return seen;
}

bool watch_sources::stop_pending() const {
    pollfd signal_fd{signals_.get(), POLLIN, 0};
    return poll(&signal_fd, 1, 0) == 1;
}

} // namespace kxnetctl
