// Sequences of store updates, result lists that hold records, and their
// releases: every record's reference count must equal the number of lists
// holding it, and once every list is released nothing retired remains.
// Leaks are reported by the sanitizer at the end of each run.
#include "netinfo/public_records.h"
#include "netinfo/selection.h"
#include "netinfo/store.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char *const names[] = {"eth0", "eth1", "veth100.0", "br0", "vnic1"};
const char *const strings[] = {"10.0.0.1/24", "10.0.0.1/24 10.0.0.2/8", "", "dhcp",
                               "aa:bb:cc:dd:ee:ff", "br0", "  x  y "};
const int32_t kinds[] = {KXNETIF_UNKNOWN, KXNETIF_ETH,  KXNETIF_BRIDGE,
                         KXNETIF_VLAN,    KXNETIF_VETH, KXNETIF_VNIC};

template <class T, std::size_t N> const T &pick(FuzzedDataProvider &input, const T (&from)[N]) {
    return from[input.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// One change through a setter the input picks.
void change(FuzzedDataProvider &input, kx::iface_update &update) {
    const char *text = pick(input, strings);
    const bool none = input.ConsumeIntegralInRange(0, 9) == 0;
    const std::optional<std::string_view> maybe = none ? std::nullopt : std::optional<std::string_view>(text);
    switch (input.ConsumeIntegralInRange(0, 13)) {
    case 0: update.type(pick(input, kinds)); break;
    case 1: update.alt_name(text); break;
    case 2: update.hwaddr(text); break;
    case 3: update.bridge(maybe); break;
    case 4: update.network_id(maybe); break;
    case 5: update.addrs(text); break;
    case 6: update.conf_addrs(text); break;
    case 7: update.state(input.ConsumeIntegral<uint32_t>()); break;
    case 8: update.peer_ctid(input.ConsumeIntegral<int32_t>()); break;
    case 9: update.peer_name(text); break;
    case 10: update.vlan_dev(text); break;
    case 11: update.vlan_id(input.ConsumeIntegral<int32_t>()); break;
    case 12: update.flags(input.ConsumeIntegral<uint32_t>()); break;
    default: update.confirm(); break;
    }
}

// Every record's holds, and its public form's count, equal the lists holding it.
void check_holds(const std::vector<kxnetif_info_list *> &lists) {
    std::map<const kxnetif_info *, int32_t> holds;
    for (kxnetif_info_list *list : lists)
        for (kxnetif_info **item = list->items; *item != nullptr; ++item) ++holds[*item];
    for (const std::list<kx::iface_record> *records : {&kx::store_live(), &kx::store_retired()})
        for (const kx::iface_record &record : *records) {
            auto found = record.published != nullptr ? holds.find(record.published) : holds.end();
            const int32_t expected = found == holds.end() ? 0 : found->second;
            if (record.holds != expected || (record.published != nullptr && record.published->refcount != expected))
                std::abort();
            if (record.published != nullptr && record.published->stamp != (record.retired ? -1 : record.stamp))
                std::abort();
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
            const int32_t ctid = input.ConsumeIntegralInRange(0, 2);
            kx::iface_update update(pick(input, names), ctid);
            change(input, update);
            change(input, update);
            break;
        }
        case 2: {
            if (lists.empty()) break;
            kxnetif_info_list *list = lists[input.ConsumeIntegralInRange<std::size_t>(0, lists.size() - 1)];
            std::size_t count = 0;
            while (list->items[count] != nullptr) ++count;
            if (count == 0) break;
            kx::iface_update update(&kx::record_of(list->items[input.ConsumeIntegralInRange<std::size_t>(0, count - 1)]));
            change(input, update);
            break;
        }
        case 3:
            if (kxnetif_info_list *list = kx::select_kxnetif_info({})) lists.push_back(list);
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
        case 7: kx::sweep_ifaces(); break;
        case 8: kx::report_conf_addr(pick(input, names), pick(input, strings)); break;
        }
        check_holds(lists);
    }
    for (kxnetif_info_list *list : lists) kx::release_kxnetif_info_list(list);
    lists.clear();
    check_holds(lists);
    if (!kx::store_retired().empty()) std::abort();
    kx::store_reset_for_tests();
    return 0;
}
