// The selection of a query: the live records that pass a filter, handed out
// in a result list that holds each of them until it is released, or held
// inside the library while a collector walks them.
#pragma once

#include "kxnet_ct.h"
#include "netinfo/store.h"

#include <cstdint>
#include <vector>

namespace kx {

// Which records a query hands out: the library's own form of a caller's
// filter, made once at the exported call.  Set strings must be matched by
// equal record strings; the strings are the caller's, borrowed for the call.
struct selection {
    bool everything = true; // no filter: every record passes
    uint32_t type_mask = KXNETIF_ALL;
    const char *network_id = nullptr;
    const char *bridge = nullptr;
    const char *name = nullptr;
    int32_t ctid_min = 0;
    int32_t ctid_max = INT32_MAX;
};

// The selection of a caller's filter (null: everything).
selection selection_of(const kxnet_filter *filter);

// Records of every kind in containers [ctid_min, ctid_max], named `name`
// when it is set.
selection records_in(int32_t ctid_min, int32_t ctid_max, const char *name = nullptr);

// Whether `record` passes.
bool selection_passes(const selection &chosen, const iface_record &record);

// A list of the passing live records, newest first, each held once more;
// null (and nothing held) when memory runs out.
kxnetif_info_list *select_kxnetif_info(const selection &chosen);

// Drops the list's holds, freeing retired records nobody holds any more,
// then frees the list.  Null is ignored.
void release_kxnetif_info_list(kxnetif_info_list *list);

// The passing live records, newest first, held until this goes: what a
// collector walks when its updates must not change the records under it.
class held_ifaces {
public:
    explicit held_ifaces(const selection &chosen); // throws std::bad_alloc
    ~held_ifaces();
    held_ifaces(const held_ifaces &) = delete;
    held_ifaces &operator=(const held_ifaces &) = delete;

    const std::vector<iface_record *> &records() const { return records_; }

private:
    std::vector<iface_record *> records_;
};

} // namespace kx
