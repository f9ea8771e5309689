// The interface information store: the live and retired record lists, the
// generation and collection scope, and the keyed updates that find or create
// a record and apply one field. A record held by a result list is never
// changed: an update that would change it puts a copy in its place.
#include "netinfo/store.h"

#include "frame/command.h"
#include "frame/memory_short.h"
#include "netinfo/kind_index.h"

#include <cassert>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

namespace kx {
namespace {

struct kxnetif_info_store {
    kxnetif_info *live = nullptr;
    kxnetif_info *retired = nullptr;
    kxnetif_info *last_ib = nullptr;
    // The last update found no memory: the updates that follow it for the
    // same interface have nothing to apply to and are skipped.
    bool last_update_failed = false;
    int32_t generation = 0;
    int32_t scope_ctid = 0;
    int32_t scope_phase = scope_phase_collect;
    kind_index index;
    // Which slots of a record hold a string the record owns (slot_a_string,
    // slot_b_string).  A slot's meaning follows the last key applied to it,
    // so an owned string is never lost or read as an integer.
    std::unordered_map<const kxnetif_info *, uint8_t> slot_strings;
};

constexpr uint8_t slot_a_string = 1;
constexpr uint8_t slot_b_string = 2;

kxnetif_info_store &the_store() {
    static kxnetif_info_store store;
    return store;
}

// The kinds an any-kind lookup tries, first hit wins.
constexpr int32_t any_kind_order[] = {KXNETIF_ETH, KXNETIF_BRIDGE, KXNETIF_VETH,
                                      KXNETIF_VLAN, KXNETIF_VNIC, KXNETIF_UNKNOWN};

bool is_hard_kind(int32_t type) {
    return type == KXNETIF_BRIDGE || type == KXNETIF_VLAN || type == KXNETIF_VETH;
}

const char *as_string(kxnetif_value value) { return reinterpret_cast<const char *>(value); }
int32_t as_s32(kxnetif_value value) { return static_cast<int32_t>(value); }
uint32_t as_u32(kxnetif_value value) { return static_cast<uint32_t>(value); }

bool same_string(const char *a, const char *b) { return a && b && std::strcmp(a, b) == 0; }
bool same_optional_string(const char *a, const char *b) {
    return (!a && !b) || same_string(a, b);
}

// --- lists ---------------------------------------------------------------

void link_head(kxnetif_info *&head, kxnetif_info *record) {
    record->prev = nullptr;
    record->next = head;
    if (head) head->prev = record;
    head = record;
}

void unlink(kxnetif_info *&head, kxnetif_info *record) {
    if (record->prev) record->prev->next = record->next;
    else head = record->next;
    if (record->next) record->next->prev = record->prev;
    record->prev = record->next = nullptr;
}

bool is_linked(const kxnetif_info *head, const kxnetif_info *record) {
    return record->prev != nullptr || head == record;
}

// --- owned strings and string lists --------------------------------------

uint8_t slot_strings_of(const kxnetif_info *record) {
    auto &owned = the_store().slot_strings;
    auto found = owned.find(record);
    return found == owned.end() ? 0 : found->second;
}

// Marks or clears a slot's ownership; false when memory ran out.
bool mark_slot_string(const kxnetif_info *record, uint8_t slot, bool string) {
    auto &owned = the_store().slot_strings;
    try {
        uint8_t bits = string ? uint8_t(slot_strings_of(record) | slot)
                              : uint8_t(slot_strings_of(record) & ~slot);
        if (bits == 0)
            owned.erase(record);
        else
            owned[record] = bits;
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// Empties slot A, releasing the string it owned.
void empty_slot_a(kxnetif_info *record) {
    if (slot_strings_of(record) & slot_a_string) std::free(record->vlan_dev);
    record->vlan_dev = nullptr;
    mark_slot_string(record, slot_a_string, false);
}

// Empties slot B, releasing the string it owned.
void empty_slot_b(kxnetif_info *record) {
    if (slot_strings_of(record) & slot_b_string) std::free(record->peer_name);
    record->peer_name = nullptr;
    mark_slot_string(record, slot_b_string, false);
}

void release_slots(kxnetif_info *record) {
    empty_slot_a(record);
    empty_slot_b(record);
}

// Stores an owned copy of `value` in a string slot.
bool set_slot_string(kxnetif_info *record, char **field, uint8_t slot, const char *value) {
    bool owned_before = (slot_strings_of(record) & slot) != 0;
    char *copy = strdup(value);
    if (!copy || !mark_slot_string(record, slot, true)) {
        std::free(copy);
        return false;
    }
    if (owned_before) std::free(*field);
    *field = copy;
    return true;
}

void release_members(kxnetif_info *record) {
    if (record->alt_name != record->name) std::free(record->alt_name);
    std::free(record->name);
    std::free(record->bridge);
    std::free(record->network_id);
    std::free(record->hwaddr);
    free_string_vector(record->addrs);
    free_string_vector(record->conf_addrs);
    release_slots(record);
}

// Copies `from` into `*to` (none stays none). False when memory ran out.
bool copy_optional(char **to, const char *from) {
    if (!from) return true;
    *to = strdup(from);
    return *to != nullptr;
}

size_t list_length(char *const *list) {
    size_t n = 0;
    while (list && list[n]) ++n;
    return n;
}

// A copy of a null-ended string list, string by string; none stays none.
bool copy_list(char ***to, char *const *from) {
    if (!from) return true;
    size_t n = list_length(from);
    char **copy = static_cast<char **>(std::calloc(n + 1, sizeof(char *)));
    if (!copy) return false;
    for (size_t i = 0; i < n; ++i) {
        copy[i] = strdup(from[i]);
        if (!copy[i]) {
            free_string_vector(copy);
            return false;
        }
    }
    *to = copy;
    return true;
}

// Replaces an owned string with a copy of `value` (none when value is none).
bool replace_string(char **field, const char *value) {
    char *copy = nullptr;
    if (value && !(copy = strdup(value))) return false;
    std::free(*field);
    *field = copy;
    return true;
}

size_t count_tokens(const char *text) {
    size_t n = 0;
    for (const char *p = text; *p;) {
        while (*p == ' ') ++p;
        if (!*p) break;
        ++n;
        while (*p && *p != ' ') ++p;
    }
    return n;
}

// The list rule: a list from an older generation starts afresh; the tokens of
// `text` are appended. Built aside and swapped in, so a failure changes nothing.
bool append_tokens(char ***list, int32_t *list_stamp, const char *text, int32_t generation) {
    bool fresh = *list_stamp != generation;
    size_t kept = fresh ? 0 : list_length(*list);
    size_t added = count_tokens(text);
    char **grown = static_cast<char **>(std::calloc(kept + added + 1, sizeof(char *)));
    if (!grown) return false;
    size_t n = kept;
    for (const char *p = text; *p;) {
        while (*p == ' ') ++p;
        if (!*p) break;
        const char *end = std::strchr(p, ' ');
        size_t len = end ? size_t(end - p) : std::strlen(p);
        grown[n] = strndup(p, len);
        if (!grown[n]) {
            for (size_t i = kept; i < n; ++i) std::free(grown[i]);
            std::free(grown);
            return false;
        }
        ++n;
        p += len;
    }
    if (fresh) {
        free_string_vector(*list);
    } else {
        for (size_t i = 0; i < kept; ++i) grown[i] = (*list)[i];
        std::free(*list);
    }
    // A list that got no entries stays as the fresh start left it: none.
    if (n == 0) {
        std::free(grown);
        grown = nullptr;
    }
    *list = grown;
    *list_stamp = generation;
    return true;
}

// --- record creation -----------------------------------------------------

// Copies both slots of `old` as it uses them: owned strings string by string.
bool copy_slots(kxnetif_info *record, const kxnetif_info *old) {
    uint8_t owned = slot_strings_of(old);
    if (owned & slot_a_string) {
        if (old->vlan_dev && !set_slot_string(record, &record->vlan_dev, slot_a_string, old->vlan_dev))
            return false;
    } else {
        record->peer_ctid = old->peer_ctid;
    }
    if (owned & slot_b_string) {
        if (old->peer_name &&
            !set_slot_string(record, &record->peer_name, slot_b_string, old->peer_name))
            return false;
    } else {
        record->vlan_id = old->vlan_id;
    }
    return true;
}

// Fills `record` (zeroed, with name and ctid) as a copy of `old`.
bool copy_contents(kxnetif_info *record, const kxnetif_info *old) {
    record->type = old->type;
    record->mask = old->mask;
    record->stamp = old->stamp;
    record->addrs_stamp = old->addrs_stamp;
    record->conf_addrs_stamp = old->conf_addrs_stamp;
    record->state = old->state;
    record->flags = old->flags;
    if (old->alt_name && old->alt_name != old->name) {
        if (!(record->alt_name = strdup(old->alt_name))) return false;
    } else {
        record->alt_name = record->name;
    }
    if ((old->type == KXNETIF_VETH || old->type == KXNETIF_VLAN) && !copy_slots(record, old))
        return false;
    return copy_optional(&record->bridge, old->bridge) &&
           copy_optional(&record->network_id, old->network_id) &&
           copy_optional(&record->hwaddr, old->hwaddr) && copy_list(&record->addrs, old->addrs) &&
           copy_list(&record->conf_addrs, old->conf_addrs);
}

// A new record for `name` in `ctid`, fresh or as a copy of `old`; not yet
// linked or indexed. Null when memory ran out.
kxnetif_info *make_record(const char *name, int32_t ctid, const kxnetif_info *old) {
    kxnetif_info_store &s = the_store();
    auto *record = static_cast<kxnetif_info *>(std::calloc(1, sizeof(kxnetif_info)));
    if (!record) return nullptr;
    record->name = strdup(name);
    record->ctid = ctid;
    record->scope_ctid = s.scope_ctid;
    record->scope_phase = s.scope_phase;
    bool filled = record->name != nullptr;
    if (filled && old) {
        filled = copy_contents(record, old);
    } else if (filled) {
        record->type = KXNETIF_UNKNOWN;
        record->mask = KXNETIF_F_NAME | KXNETIF_F_CTID;
        record->alt_name = record->name;
        record->stamp = record->addrs_stamp = record->conf_addrs_stamp = s.generation;
    }
    if (!filled) {
        release_members(record);
        std::free(record);
        return nullptr;
    }
    return record;
}

// Enters `record` in the index; on failure frees it and answers null.
kxnetif_info *index_or_drop(kxnetif_info *record) {
    if (the_store().index.insert(record->type, record)) return record;
    release_members(record);
    std::free(record);
    return nullptr;
}

// --- applying one key ----------------------------------------------------

enum class applied { yes, refused, out_of_memory };

applied result(bool ok) { return ok ? applied::yes : applied::out_of_memory; }

// Changes the kind: re-indexes the record; leaving a hard kind releases the
// string that kind kept in a slot, so the new kind starts with empty slots.
applied set_type(kxnetif_info *record, int32_t type) {
    if (type == record->type) return applied::yes;
    if (!the_store().index.move(record->type, type, record)) return applied::out_of_memory;
    if (is_hard_kind(record->type)) release_slots(record);
    record->type = type;
    if (type == KXNETIF_VETH) empty_slot_b(record);
    if (type == KXNETIF_VLAN) empty_slot_a(record);
    return applied::yes;
}

bool needs_string(uint32_t key) {
    switch (key) {
    case KXNETIF_F_ALT_NAME:
    case KXNETIF_F_HWADDR:
    case KXNETIF_F_ADDRS:
    case KXNETIF_F_CONF_ADDRS:
    case KXNETIF_F_PEER_NAME:
    case KXNETIF_F_VLAN_DEV: return true;
    default: return false;
    }
}

applied set_alt_name(kxnetif_info *record, const char *value) {
    char *copy = strdup(value);
    if (!copy) return applied::out_of_memory;
    if (record->alt_name != record->name) std::free(record->alt_name);
    record->alt_name = copy;
    return applied::yes;
}

applied apply_key(kxnetif_info *record, uint32_t key, kxnetif_value value) {
    if (needs_string(key) && !as_string(value)) return applied::refused;
    int32_t generation = the_store().generation;
    switch (key) {
    case KXNETIF_F_TYPE: return set_type(record, as_s32(value));
    case KXNETIF_F_ALT_NAME: return set_alt_name(record, as_string(value));
    case KXNETIF_F_HWADDR: return result(replace_string(&record->hwaddr, as_string(value)));
    case KXNETIF_F_BRIDGE: return result(replace_string(&record->bridge, as_string(value)));
    case KXNETIF_F_NETWORK_ID:
        return result(replace_string(&record->network_id, as_string(value)));
    case KXNETIF_F_ADDRS:
        return result(append_tokens(&record->addrs, &record->addrs_stamp, as_string(value),
                                    generation));
    case KXNETIF_F_CONF_ADDRS:
        return result(append_tokens(&record->conf_addrs, &record->conf_addrs_stamp,
                                    as_string(value), generation));
    case KXNETIF_F_STATE: record->state = as_u32(value); return applied::yes;
    case KXNETIF_F_PEER_CTID2:
    case KXNETIF_F_PEER_CTID:
        empty_slot_a(record);
        record->peer_ctid = as_s32(value);
        return applied::yes;
    case KXNETIF_F_PEER_NAME:
        return result(set_slot_string(record, &record->peer_name, slot_b_string, as_string(value)));
    case KXNETIF_F_VLAN_DEV:
        return result(set_slot_string(record, &record->vlan_dev, slot_a_string, as_string(value)));
    case KXNETIF_F_VLAN_ID:
        empty_slot_b(record);
        record->vlan_id = as_s32(value);
        return applied::yes;
    case KXNETIF_F_FLAGS: record->flags = as_u32(value); return applied::yes;
    default: return applied::yes; // other keys only mark the mask
    }
}

// Whether an update of a held record leaves it as it is.
bool leaves_unchanged(const kxnetif_info *record, uint32_t key, kxnetif_value value) {
    uint8_t owned = slot_strings_of(record);
    if (needs_string(key) && !as_string(value)) return true;
    switch (key) {
    case 0: return true;
    case KXNETIF_F_TYPE: return record->type == as_s32(value);
    case KXNETIF_F_STATE: return record->state == as_u32(value);
    case KXNETIF_F_PEER_CTID2:
    case KXNETIF_F_PEER_CTID:
        return !(owned & slot_a_string) && record->peer_ctid == as_s32(value);
    case KXNETIF_F_VLAN_ID: return !(owned & slot_b_string) && record->vlan_id == as_s32(value);
    case KXNETIF_F_FLAGS: return record->flags == as_u32(value);
    case KXNETIF_F_ALT_NAME: return same_string(record->alt_name, as_string(value));
    case KXNETIF_F_HWADDR: return same_string(record->hwaddr, as_string(value));
    case KXNETIF_F_PEER_NAME:
        return (owned & slot_b_string) && same_string(record->peer_name, as_string(value));
    case KXNETIF_F_VLAN_DEV:
        return (owned & slot_a_string) && same_string(record->vlan_dev, as_string(value));
    case KXNETIF_F_BRIDGE: return same_optional_string(record->bridge, as_string(value));
    case KXNETIF_F_NETWORK_ID: return same_optional_string(record->network_id, as_string(value));
    default: return false;
    }
}

// Puts a copy of `old` (named `name` in `ctid`) in its place, retires `old`
// and applies the key to the copy. Null when memory ran out (nothing changed).
kxnetif_info *replace_record(kxnetif_info *old, const char *name, int32_t ctid, uint32_t key,
                             kxnetif_value value) {
    kxnetif_info *copy = make_record(name, ctid, old);
    if (!copy) return nullptr;
    // Indexing first takes over the old record's entry, so no failure can
    // leave the interface without a record.
    if (!index_or_drop(copy)) return nullptr;
    retire_kxnetif_info(old);
    link_head(the_store().live, copy);
    return imm_update_kxnetif_info(copy, key, value);
}

kxnetif_info *create_record(const char *name, int32_t ctid) {
    kxnetif_info *record = make_record(name, ctid, nullptr);
    if (!record || !index_or_drop(record)) return nullptr;
    link_head(the_store().live, record);
    return record;
}

} // namespace

kxnetif_info *find_kxnetif_info(const char *name, int32_t ctid, int kind) {
    if (!name) return nullptr;
    kind_index &index = the_store().index;
    if (kind != KXNETIF_ALL) return index.find(kind, ctid, name);
    for (int32_t each : any_kind_order)
        if (kxnetif_info *record = index.find(each, ctid, name)) return record;
    return nullptr;
}

namespace {

kxnetif_info *apply_update(kxnetif_info *record, const char *name, int32_t ctid, uint32_t key,
                           kxnetif_value value) {
    try {
        if (!name && record) name = record->name;
        if (!name) return nullptr;
        // A retired record stays as its holders saw it: the update goes to
        // the interface's live record (relinking the retired one would loop
        // the retired list).
        if (record && record->stamp == -1) record = nullptr;
        if (!record) record = find_kxnetif_info(name, ctid, KXNETIF_ALL);
        if (!record) {
            record = create_record(name, ctid);
            return record ? imm_update_kxnetif_info(record, key, value) : nullptr;
        }
        int32_t generation = the_store().generation;
        if (key == KXNETIF_F_TYPE && is_hard_kind(record->type) && record->type != as_s32(value)) {
            record->stamp = generation;
            return replace_record(record, name, ctid, key, value);
        }
        if (record->refcount == 0) return imm_update_kxnetif_info(record, key, value);
        record->stamp = generation;
        if (leaves_unchanged(record, key, value)) return record;
        return replace_record(record, name, ctid, key, value);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

} // namespace

kxnetif_info *raw_update_kxnetif_info(kxnetif_info *record, const char *name, int32_t ctid,
                                      uint32_t key, kxnetif_value value) {
    assert(key != KXNETIF_F_NAME && key != KXNETIF_F_CTID && "raw_update_kxnetif_info");
    kxnetif_info *result = apply_update(record, name, ctid, key, value);
    // With a name to update, only memory running out leaves no record.
    if (result == nullptr && (name != nullptr || record != nullptr)) note_memory_short();
    return result;
}

kxnetif_info *imm_update_kxnetif_info(kxnetif_info *record, uint32_t key, kxnetif_value value) {
    assert(key != KXNETIF_F_NAME && key != KXNETIF_F_CTID && "imm_update_kxnetif_info");
    if (!record) return nullptr;
    applied outcome = apply_key(record, key, value);
    if (outcome == applied::out_of_memory) return nullptr;
    if (outcome == applied::yes) record->mask |= key;
    record->stamp = the_store().generation;
    return record;
}

kxnetif_info *update_named_kxnetif_info(const char *name, int32_t ctid, uint32_t key,
                                        kxnetif_value value) {
    kxnetif_info *record = raw_update_kxnetif_info(nullptr, name, ctid, key, value);
    the_store().last_ib = record;
    the_store().last_update_failed = record == nullptr;
    return record;
}

kxnetif_info *update_held_kxnetif_info(kxnetif_info *record, uint32_t key, kxnetif_value value) {
    kxnetif_info *result =
        record ? raw_update_kxnetif_info(record, record->name, record->ctid, key, value) : nullptr;
    the_store().last_ib = result;
    the_store().last_update_failed = result == nullptr;
    return result;
}

kxnetif_info *update_last_kxnetif_info(uint32_t key, kxnetif_value value) {
    kxnetif_info_store &s = the_store();
    assert((s.last_ib != nullptr || s.last_update_failed) && "update_last_kxnetif_info: no last_ib");
    kxnetif_info *last = s.last_ib;
    if (last == nullptr) return nullptr;
    s.last_ib = raw_update_kxnetif_info(last, last->name, last->ctid, key, value);
    s.last_update_failed = s.last_ib == nullptr;
    return s.last_ib;
}

void retire_kxnetif_info(kxnetif_info *record) {
    kxnetif_info_store &s = the_store();
    if (!record || record->stamp == -1) return; // already retired
    s.index.erase(record->type, record);
    if (is_linked(s.live, record)) unlink(s.live, record);
    // A retired record is never the interface's current record.
    if (s.last_ib == record) {
        s.last_ib = nullptr;
        s.last_update_failed = false;
    }
    if (record->refcount == 0) {
        free_kxnetif_info(record);
        return;
    }
    record->stamp = -1;
    link_head(s.retired, record);
}

void sweep_kxnetif_info() {
    kxnetif_info_store &s = the_store();
    for (kxnetif_info *record = s.live; record;) {
        kxnetif_info *next = record->next;
        if (record->scope_ctid == s.scope_ctid && record->scope_phase == s.scope_phase &&
            record->stamp != s.generation)
            retire_kxnetif_info(record);
        record = next;
    }
}

void free_kxnetif_info(kxnetif_info *record) {
    if (!record) return;
    kxnetif_info_store &s = the_store();
    // Take the record out of whatever still refers to it.
    if (record->stamp == -1) {
        if (is_linked(s.retired, record)) unlink(s.retired, record);
    } else if (is_linked(s.live, record)) {
        s.index.erase(record->type, record);
        unlink(s.live, record);
    }
    if (s.last_ib == record) s.last_ib = nullptr;
    release_members(record);
    std::free(record);
}

void release_kxnetif_info(kxnetif_info *record) {
    if (!record || record->refcount <= 0) return;
    if (--record->refcount == 0 && record->stamp == -1) free_kxnetif_info(record);
}

kxnetif_info *store_live_head() { return the_store().live; }
kxnetif_info *store_retired_head() { return the_store().retired; }
kxnetif_info *store_last_ib() { return the_store().last_ib; }
int32_t store_generation() { return the_store().generation; }

void store_set_generation(int32_t generation) {
    the_store().generation = generation < 0 ? 0 : generation;
}

void store_advance_generation() {
    int32_t &generation = the_store().generation;
    generation = generation == INT32_MAX ? 0 : generation + 1;
}

void store_set_scope(int32_t ctid, int32_t phase) {
    the_store().scope_ctid = ctid;
    the_store().scope_phase = phase;
}

void store_retire_all() {
    while (kxnetif_info *record = the_store().live) retire_kxnetif_info(record);
}

void store_reset_for_tests() {
    kxnetif_info_store &s = the_store();
    while (s.live) free_kxnetif_info(s.live);
    while (s.retired) free_kxnetif_info(s.retired);
    s.index.clear();
    s.last_ib = nullptr;
    s.last_update_failed = false;
    s.generation = 0;
    s.scope_ctid = 0;
    s.scope_phase = scope_phase_collect;
}

void report_conf_addr(const char *device, const char *address) {
    raw_update_kxnetif_info(nullptr, device, 0, KXNETIF_F_CONF_ADDRS, str_value(address));
}

} // namespace kx
