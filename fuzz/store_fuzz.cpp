// Sequences of store updates, result lists that hold records, and their
// releases: every record's reference count must equal the number of lists
// holding it, and once every list is released nothing retired remains.
// Leaks are reported by the sanitizer at the end of each run.
#include "netinfo/selection.h"
#include "netinfo/store.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <string>
#include <vector>

namespace {

const char *const names[] = {"eth0", "eth1", "veth100.0", "br0", "vnic1"};
const char *const strings[] = {"10.0.0.1/24", "10.0.0.1/24 10.0.0.2/8", "", "dhcp",
                               "aa:bb:cc:dd:ee:ff", "br0", "  x  y "};
const uint32_t keys[] = {KXNETIF_F_TYPE,       KXNETIF_F_ALT_NAME,   KXNETIF_F_HWADDR,
                         KXNETIF_F_BRIDGE,     KXNETIF_F_NETWORK_ID, KXNETIF_F_ADDRS,
                         KXNETIF_F_CONF_ADDRS, KXNETIF_F_STATE,      KXNETIF_F_PEER_CTID2,
                         KXNETIF_F_PEER_CTID,  KXNETIF_F_PEER_NAME,  KXNETIF_F_VLAN_DEV,
                         KXNETIF_F_VLAN_ID,    KXNETIF_F_FLAGS};
const int32_t kinds[] = {KXNETIF_UNKNOWN, KXNETIF_ETH,  KXNETIF_BRIDGE,
                         KXNETIF_VLAN,    KXNETIF_VETH, KXNETIF_VNIC};

template <class T, std::size_t N> const T &pick(FuzzedDataProvider &input, const T (&from)[N]) {
    return from[input.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

kx::kxnetif_value value_for(FuzzedDataProvider &input, uint32_t key) {
    if (key == KXNETIF_F_TYPE) return kx::int_value(pick(input, kinds));
    if (input.ConsumeIntegralInRange(0, 9) == 0) return kx::str_value(nullptr);
    switch (key) {
    case KXNETIF_F_ALT_NAME:
    case KXNETIF_F_HWADDR:
    case KXNETIF_F_BRIDGE:
    case KXNETIF_F_NETWORK_ID:
    case KXNETIF_F_ADDRS:
    case KXNETIF_F_CONF_ADDRS:
    case KXNETIF_F_PEER_NAME:
    case KXNETIF_F_VLAN_DEV: return kx::str_value(pick(input, strings));
    default: return kx::int_value(input.ConsumeIntegral<int32_t>());
    }
}

void check_holds(const std::vector<kxnetif_info_list *> &lists) {
    std::map<const kxnetif_info *, int32_t> holds;
    for (kxnetif_info_list *list : lists)
        for (kxnetif_info **item = list->items; *item != nullptr; ++item) ++holds[*item];
    for (kxnetif_info *head : {kx::store_live_head(), kx::store_retired_head()})
        for (kxnetif_info *record = head; record != nullptr; record = record->next) {
            auto found = holds.find(record);
            if (record->refcount != (found == holds.end() ? 0 : found->second)) std::abort();
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<kxnetif_info_list *> lists;
    kx::store_set_generation(input.ConsumeBool() ? INT32_MAX - 2 : 1);
    for (int step = 0; step < 64 && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange(0, 8)) {
        case 0:
        case 1: {
            const uint32_t key = pick(input, keys);
            const int32_t ctid = input.ConsumeIntegralInRange(0, 2);
            const char *name = pick(input, names);
            kx::update_named_kxnetif_info(name, ctid, key, value_for(input, key));
            break;
        }
        case 2: {
            if (lists.empty()) break;
            kxnetif_info_list *list = lists[input.ConsumeIntegralInRange<std::size_t>(0, lists.size() - 1)];
            std::size_t count = 0;
            while (list->items[count] != nullptr) ++count;
            if (count == 0) break;
            const uint32_t key = pick(input, keys);
            kx::update_held_kxnetif_info(list->items[input.ConsumeIntegralInRange<std::size_t>(0, count - 1)],
                                         key, value_for(input, key));
            break;
        }
        case 3:
            if (kxnetif_info_list *list = kx::select_kxnetif_info(nullptr)) lists.push_back(list);
            break;
        case 4:
            if (!lists.empty()) {
                std::size_t at = input.ConsumeIntegralInRange<std::size_t>(0, lists.size() - 1);
                kx::release_kxnetif_info_list(lists[at]);
                lists.erase(lists.begin() + static_cast<std::ptrdiff_t>(at));
            }
            break;
        case 5: kx::store_retire_all(); break;
        case 6:
            kx::store_advance_generation();
            kx::store_set_scope(input.ConsumeIntegralInRange(0, 2), kx::scope_phase_collect);
            break;
        case 7: kx::sweep_kxnetif_info(); break;
        case 8: kx::report_conf_addr(pick(input, names), pick(input, strings)); break;
        }
        check_holds(lists);
    }
    for (kxnetif_info_list *list : lists) kx::release_kxnetif_info_list(list);
    lists.clear();
    check_holds(lists);
    if (kx::store_retired_head() != nullptr) std::abort();
    kx::store_reset_for_tests();
    return 0;
}
