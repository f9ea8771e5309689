// The interface information store: keyed updates build kxnetif_info records;
// records held by result lists are never changed (copy on write) and are
// freed when the last list holding them is released.
#pragma once

#include "kxnet_ct.h"

#include <cstdint>

namespace kx {

// The value of an update: a string pointer or an integer, by key.
using kxnetif_value = uintptr_t;
inline kxnetif_value str_value(const char *s) { return reinterpret_cast<kxnetif_value>(s); }
inline kxnetif_value int_value(int64_t v) { return static_cast<kxnetif_value>(v); }

// Phases of the collection scope.
inline constexpr int32_t scope_phase_collect = 0;
inline constexpr int32_t scope_phase_registry = 1;

kxnetif_info *find_kxnetif_info(const char *name, int32_t ctid, int kind);
kxnetif_info *raw_update_kxnetif_info(kxnetif_info *record, const char *name, int32_t ctid,
                                      uint32_t key, kxnetif_value value);
kxnetif_info *imm_update_kxnetif_info(kxnetif_info *record, uint32_t key, kxnetif_value value);
kxnetif_info *update_named_kxnetif_info(const char *name, int32_t ctid, uint32_t key,
                                        kxnetif_value value);
kxnetif_info *update_held_kxnetif_info(kxnetif_info *record, uint32_t key, kxnetif_value value);
kxnetif_info *update_last_kxnetif_info(uint32_t key, kxnetif_value value);
void retire_kxnetif_info(kxnetif_info *record);
// A configured address of a host device, as the registry load reports it.
void report_conf_addr(const char *device, const char *address);
void sweep_kxnetif_info();
void free_kxnetif_info(kxnetif_info *record);
// Drops one hold on `record`; a retired record that nobody holds any more is
// freed (what the release of a result list does for each of its records).
void release_kxnetif_info(kxnetif_info *record);

// The store's list heads, generation and scope.
kxnetif_info *store_live_head();    // newest record first; null when empty
kxnetif_info *store_retired_head(); // retired records still held
kxnetif_info *store_last_ib();
int32_t store_generation();
void store_set_generation(int32_t generation); // tests set a start value
void store_advance_generation();               // past INT32_MAX continues at 0
void store_set_scope(int32_t ctid, int32_t phase);
// Retires every live record (the start of a query).
void store_retire_all();
// Frees every record, live and retired, and empties the index (tests only).
void store_reset_for_tests();

} // namespace kx
