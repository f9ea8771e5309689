// The public forms of store records and result lists: the kxnetif_info a
// result list hands out is built from its record when first handed out and
// freed when no list holds it any more.  The only heap blocks of the
// information store made with the C allocator live here.
#pragma once

#include "kxnet_ct.h"
#include "netinfo/store.h"

#include <vector>

namespace kx {

// The public form of `record`, built on first use (one block holding the
// record and all its strings); throws std::bad_alloc.
kxnetif_info *publish(iface_record &record);
// Frees the public form of `record`, if it has one.
void withdraw_public(iface_record &record) noexcept;
// The store record a public form was built from.
iface_record &record_of(const kxnetif_info *info) noexcept;

// A result list over `items` (the array copied, null-ended); null when
// memory runs out.
kxnetif_info_list *make_info_list(const std::vector<kxnetif_info *> &items) noexcept;
// Frees the list and its array, not the records.
void free_info_list(kxnetif_info_list *list) noexcept;

// A heap copy of `text` that the caller frees with free(); null when memory
// runs out.
char *caller_copy(const char *text) noexcept;

} // namespace kx
