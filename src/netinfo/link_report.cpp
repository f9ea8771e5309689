// Reporting a described link to the store, the same for the host's dump and
// for the lines a container wrote, so both sides type links alike.
#include "netinfo/link_report.h"

#include "kxnet_ct.h"
#include "netinfo/store.h"

#include <cctype>
#include <net/if.h>

namespace kx {

int32_t link_kind(std::string_view name, int32_t ctid) {
    if (name.substr(0, 4) == "vnic") return KXNETIF_VNIC;
    // A container's "veth-" device is typed by the host's pair list, if at all.
    if (ctid == 0 && name.substr(0, 5) == "veth-") return KXNETIF_VETH;
    return KXNETIF_ETH;
}

void report_link(int32_t ctid, const link_view &link) {
    iface_update update(link.name, ctid);
    update.addrs(link.addrs);
    if (!link.hwaddr.empty() && std::isalnum(static_cast<unsigned char>(link.hwaddr.front())) != 0) {
        const iface_record *record = update.hwaddr(link.hwaddr).record();
        if (record != nullptr && record->type == KXNETIF_UNKNOWN) update.type(link_kind(link.name, ctid));
    }
    update.state((link.flags & IFF_UP) != 0 ? KXNETIF_STATE_UP : KXNETIF_STATE_DOWN).flags(link.flags);
}

} // namespace kx
