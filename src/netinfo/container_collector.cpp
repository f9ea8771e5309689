// collect_ct_info: runs the link dump inside a container through the
// container-management library and turns the four lines per link that come
// back through a pipe into store updates.  Every handle, descriptor, stream
// and child of a pass is owned by a scope guard, so each path releases them.
#include "netinfo/container_collector.h"

#include "frame/fd.h"
#include "frame/stream.h"
#include "frame/container_conf.h"
#include "netinfo/link_dump.h"
#include "netinfo/store.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

namespace {

constexpr std::size_t conf_path_size = 1024;
constexpr int exec_timeout_seconds = 2;

// The dump's child: reaped when the pass ends, on every path.  It is
// declared before the read stream so the stream closes first and a child
// blocked on a full pipe cannot keep the wait from returning.
class dump_child {
public:
    dump_child(pid_t pid, int *status) : pid_(pid), status_(status) {}
    dump_child(const dump_child &) = delete;
    dump_child &operator=(const dump_child &) = delete;
    ~dump_child() {
        while (waitpid(pid_, status_, 0) < 0 && errno == EINTR) {
        }
    }

private:
    pid_t pid_;
    int *status_;
};

void open_pass(int32_t ctid) {
    store_set_scope(ctid, scope_phase_collect);
    store_advance_generation();
}

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

// Reports one link of the container.  A record that cannot be allocated
// ends the link's updates, since there is no last record to update.
void report_container_link(int32_t ctid, const link_lines &link) {
    if (!update_named_kxnetif_info(link.name.c_str(), ctid, KXNETIF_F_ADDRS, str_value(link.addrs.c_str())))
        return;
    const int link_state = (link.flags & IFF_UP) != 0 ? KXNETIF_STATE_UP : KXNETIF_STATE_DOWN;
    if (!update_last_kxnetif_info(KXNETIF_F_STATE, int_value(link_state))) return;
    if (!update_last_kxnetif_info(KXNETIF_F_FLAGS, int_value(link.flags))) return;
    if (link.hwaddr.empty() || !isalnum(static_cast<unsigned char>(link.hwaddr[0]))) return;
    kxnetif_info *record = update_last_kxnetif_info(KXNETIF_F_HWADDR, str_value(link.hwaddr.c_str()));
    if (record == nullptr || record->type != KXNETIF_UNKNOWN) return;
    const int kind = starts_with(link.name, "vnic") ? KXNETIF_VNIC : KXNETIF_ETH;
    update_last_kxnetif_info(KXNETIF_F_TYPE, int_value(kind));
}

void read_container_links(int32_t ctid, unique_fd read_end) {
    unique_file in(fdopen(read_end.get(), "r"));
    if (!in) return; // read_end closes the descriptor
    read_end.release();
    report_container_links(ctid, in.get());
}

void collect_host(uint32_t flags) {
    link_dump_args args{-1, 0, flags};
    dump_link_info(&args);
    sweep_kxnetif_info();
}

void collect_container(uint32_t flags, int32_t ctid) {
    const auto id = static_cast<uint32_t>(ctid);
    std::optional<container_conf> conf = open_container_conf(id, conf_path_size, KXCTL_CONF_WRITE);
    if (!conf || conf->param->root == nullptr) return;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    if (kxctl_open() != 0) return;

    link_dump_args args{write_end.get(), id, flags};
    int keep_fds[] = {write_end.get(), -1};
    int status = 0;
    const int pid = kxctl_env_exec_fn_async(id, conf->param->root, dump_link_info, &args, keep_fds,
                                            exec_timeout_seconds, 0, &status);
    if (pid < 0) return;
    dump_child child(pid, &status);
    write_end.reset(); // the child's stream holds the only write end now
    read_container_links(ctid, std::move(read_end));
    sweep_kxnetif_info();
}

} // namespace

void report_container_links(int32_t ctid, std::FILE *in) {
    link_lines link;
    while (read_link_lines(in, link)) report_container_link(ctid, link);
}

void collect_ct_info(uint32_t flags, int32_t ctid) {
    open_pass(ctid);
    if (ctid == 0)
        collect_host(flags);
    else
        collect_container(flags, ctid);
}

} // namespace kx
