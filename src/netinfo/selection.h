// The selection of a query: the live records that pass a filter, handed out
// in a result list that holds each of them until it is released, or held
// inside the library while a collector walks them.
#pragma once

#include "kxnet_ct.h"
#include "netinfo/store.h"

#include <vector>

namespace kx {

// Whether `record` passes `filter` (every record passes a null filter).
bool filter_passes(const kxnet_filter *filter, const iface_record &record);

// A list of the passing live records, newest first, each held once more;
// null (and nothing held) when memory runs out.
kxnetif_info_list *select_kxnetif_info(const kxnet_filter *filter);

// Drops the list's holds, freeing retired records nobody holds any more,
// then frees the list.  Null is ignored.
void release_kxnetif_info_list(kxnetif_info_list *list);

// The passing live records, newest first, held until this goes: what a
// collector walks when its updates must not change the records under it.
class held_ifaces {
public:
    explicit held_ifaces(const kxnet_filter *filter); // throws std::bad_alloc
    ~held_ifaces();
    held_ifaces(const held_ifaces &) = delete;
    held_ifaces &operator=(const held_ifaces &) = delete;

    const std::vector<iface_record *> &records() const { return records_; }

private:
    std::vector<iface_record *> records_;
};

} // namespace kx
