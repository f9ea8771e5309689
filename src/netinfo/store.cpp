// Temporary stand-in for the information store: every operation does
// nothing, so the library links until the store itself lands.
#include "netinfo/store.h"

namespace kx {

kxnetif_info *find_kxnetif_info(const char *, int32_t, int) { return nullptr; }
kxnetif_info *raw_update_kxnetif_info(kxnetif_info *record, const char *, int32_t, uint32_t,
                                      kxnetif_value) {
    return record;
}
kxnetif_info *imm_update_kxnetif_info(kxnetif_info *record, uint32_t, kxnetif_value) {
    return record;
}
kxnetif_info *update_named_kxnetif_info(const char *, int32_t, uint32_t, kxnetif_value) {
    return nullptr;
}
kxnetif_info *update_held_kxnetif_info(kxnetif_info *record, uint32_t, kxnetif_value) {
    return record;
}
kxnetif_info *update_last_kxnetif_info(uint32_t, kxnetif_value) { return nullptr; }
void retire_kxnetif_info(kxnetif_info *) {}
void sweep_kxnetif_info() {}
void free_kxnetif_info(kxnetif_info *) {}
kxnetif_info *store_live_head() { return nullptr; }
kxnetif_info *store_retired_head() { return nullptr; }
kxnetif_info *store_last_ib() { return nullptr; }
int32_t store_generation() { return 0; }
void store_set_generation(int32_t) {}
void store_advance_generation() {}
void store_set_scope(int32_t, int32_t) {}
void store_retire_all() {}
void store_reset_for_tests() {}

} // namespace kx
