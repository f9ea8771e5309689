// The selection of a query: the live records that pass a filter, handed out
// in a result list that holds each of them until it is released.
#pragma once

#include "kxnet_ct.h"

namespace kx {

// Whether `record` passes `filter` (every record passes a null filter).
bool filter_passes(const kxnet_filter *filter, const kxnetif_info *record);

// A malloc'd list of the passing live records, newest first, each held once
// more; null (and nothing held) when memory runs out.
kxnetif_info_list *select_kxnetif_info(const kxnet_filter *filter);

// Drops the list's holds, freeing retired records nobody holds any more,
// then frees the list.  Null is ignored.
void release_kxnetif_info_list(kxnetif_info_list *list);

} // namespace kx
