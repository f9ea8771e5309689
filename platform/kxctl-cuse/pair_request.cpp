// Checking a pair record and creating its veth pair: one RTM_NEWLINK request
// on a netlink socket opened inside the caller's network namespace.
#include "pair_request.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kxcuse {

namespace {

class owned_fd {
public:
    explicit owned_fd(int fd) : fd_(fd) {}
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    ~owned_fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

bool is_name(const char (&field)[16]) { return field[0] != '\0' && memchr(field, '\0', sizeof field) != nullptr; }

// An rtnetlink request built in place: attributes appended, nests closed by
// patching their length.
class request_builder {
public:
    explicit request_builder(uint16_t type, uint16_t flags) {
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        header.nlmsg_seq = 1;
        append(&header, sizeof header);
    }
    void append(const void *data, size_t size) {
        const auto *bytes = static_cast<const unsigned char *>(data);
        buffer_.insert(buffer_.end(), bytes, bytes + size);
        buffer_.resize(NLMSG_ALIGN(buffer_.size()));
    }
    void attribute(uint16_t type, const void *data, size_t size) {
        rtattr attr{static_cast<unsigned short>(RTA_LENGTH(size)), type};
        append_unaligned(&attr, sizeof attr);
        append(data, size);
    }
    size_t open_nest(uint16_t type) {
        size_t at = buffer_.size();
        rtattr attr{RTA_LENGTH(0), type};
        append(&attr, sizeof attr);
        return at;
    }
    void close_nest(size_t at) {
        auto length = static_cast<unsigned short>(buffer_.size() - at);
        std::memcpy(buffer_.data() + at, &length, sizeof length);
    }
    std::vector<unsigned char> &finish() {
        auto length = static_cast<uint32_t>(buffer_.size());
        std::memcpy(buffer_.data(), &length, sizeof length);
        return buffer_;
    }

private:
    void append_unaligned(const void *data, size_t size) {
        const auto *bytes = static_cast<const unsigned char *>(data);
        buffer_.insert(buffer_.end(), bytes, bytes + size);
    }
    std::vector<unsigned char> buffer_;
};

std::vector<unsigned char> &newlink_request(request_builder &message, const kxctl_pair_record &record) {
    ifinfomsg link{};
    link.ifi_family = AF_UNSPEC;
    message.append(&link, sizeof link);
    message.attribute(IFLA_IFNAME, record.first_name, strlen(record.first_name) + 1);
    message.attribute(IFLA_ADDRESS, record.first_address, sizeof record.first_address);
    size_t info = message.open_nest(IFLA_LINKINFO);
    message.attribute(IFLA_INFO_KIND, "veth", 5);
    size_t data = message.open_nest(IFLA_INFO_DATA);
    size_t peer = message.open_nest(VETH_INFO_PEER);
    message.append(&link, sizeof link);
    message.attribute(IFLA_IFNAME, record.second_name, strlen(record.second_name) + 1);
    message.attribute(IFLA_ADDRESS, record.second_address, sizeof record.second_address);
    message.close_nest(peer);
    message.close_nest(data);
    message.close_nest(info);
    return message.finish();
}

// A netlink socket of the namespace `pid` lives in; the daemon returns to
// its own namespace before it answers.
int socket_in_namespace_of(pid_t pid, int &sock) {
    owned_fd own(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    owned_fd theirs(open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC));
    if (!own || !theirs) return ESRCH;
    if (setns(theirs.get(), CLONE_NEWNET) != 0) return errno;
    sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    int error = sock < 0 ? errno : 0;
    // Staying in the caller's namespace would put every later pair there.
    if (setns(own.get(), CLONE_NEWNET) != 0) _exit(70);
    return error;
}

// The kernel's acknowledgement: 0 or its errno.
int read_ack(int sock) {
    unsigned char reply[8192];
    ssize_t got;
    do {
        got = recv(sock, reply, sizeof reply, 0);
    } while (got < 0 && errno == EINTR);
    if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) return EIO;
    const auto *header = reinterpret_cast<const nlmsghdr *>(reply);
    if (header->nlmsg_type != NLMSG_ERROR) return EIO;
    const auto *answer = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
    return -answer->error;
}

} // namespace

int check_record(const void *data, size_t size, kxctl_pair_record &record) {
    if (data == nullptr || size != sizeof record) return EINVAL;
    std::memcpy(&record, data, sizeof record);
    if (record.operation != kxctl_pair_operation_add || record.container_id != 0) return EINVAL;
    if (record.first_address_length != 6 || record.second_address_length != 6) return EINVAL;
    if (!is_name(record.first_name) || !is_name(record.second_name)) return EINVAL;
    return 0;
}

int create_pair(pid_t pid, const kxctl_pair_record &record) {
    int raw = -1;
    if (int error = socket_in_namespace_of(pid, raw); error != 0) return error;
    owned_fd sock(raw);
    request_builder message(RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL);
    std::vector<unsigned char> &bytes = newlink_request(message, record);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(sock.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return errno;
    return read_ack(sock.get());
}

} // namespace kxcuse
