// Adding an IPv4 address to a link: the 40-byte RTM_NEWADDR request and its
// exchange over a channel of its own.
#include "rtnl/rtnl.h"

#include <linux/if_addr.h>

namespace kx {

static_assert(RTM_NEWADDR == 20 && IFA_LOCAL == 2 && IFA_ADDRESS == 1);
static_assert(sizeof(ifaddrmsg) == 8, "the address message is 8 bytes");
static_assert(NLMSG_LENGTH(sizeof(ifaddrmsg)) == 24);

int newaddr_request_build(newaddr_request &request, int ifindex, in_addr address, int prefix_length) {
    nlmsghdr *header = request.header();
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    header->nlmsg_type = RTM_NEWADDR;
    header->nlmsg_flags = NLM_F_REQUEST;
    auto *body = static_cast<ifaddrmsg *>(NLMSG_DATA(header));
    body->ifa_family = AF_INET;
    body->ifa_prefixlen = static_cast<unsigned char>(prefix_length);
    body->ifa_flags = 0;
    body->ifa_scope = RT_SCOPE_UNIVERSE;
    body->ifa_index = static_cast<unsigned>(ifindex);
    if (int error = addattr_l(header, newaddr_request_bound, IFA_LOCAL, &address, sizeof address); error != 0)
        return error;
    return addattr_l(header, newaddr_request_bound, IFA_ADDRESS, &address, sizeof address);
}

int rtchan_add_ipv4_address(int ifindex, in_addr address, int prefix_length) {
    newaddr_request request;
    if (int error = newaddr_request_build(request, ifindex, address, prefix_length); error != 0) return error;
    rtchan channel;
    if (int error = rtchan_open(channel, 0); error != 0) return error;
    rtchan_scope close_channel(channel);
    return rtchan_transact(channel, request.header(), 0, 0, nullptr, nullptr, nullptr);
}

} // namespace kx
