// The interface information store: the live and retired records, the
// generation and collection scope, and the one update path that finds or
// creates a record and applies one change.  A held record is never changed:
// a change puts a copy in its place.
#include "netinfo/store.h"

#include "netinfo/kind_index.h"
#include "netinfo/public_records.h"
#include "sys/memory_short.h"

#include <climits>
#include <new>

namespace kx {

struct iface_update::change {
    uint32_t key = 0;
    int64_t number = 0;                   // integer keys
    std::optional<std::string_view> text; // text keys; none for an absent bridge or network id
};

namespace {

struct iface_store {
    std::list<iface_record> live;    // newest first
    std::list<iface_record> retired; // held by result lists
    int32_t generation = 0;
    int32_t scope_ctid = 0;
    int32_t scope_phase = scope_phase_collect;
    kind_index index;
};

iface_store &the_store() {
    static iface_store store;
    return store;
}

using change = iface_update::change;

// The kinds an any-kind lookup tries, first hit wins.
constexpr int32_t any_kind_order[] = {KXNETIF_ETH, KXNETIF_BRIDGE, KXNETIF_VETH,
                                      KXNETIF_VLAN, KXNETIF_VNIC, KXNETIF_UNKNOWN};

bool is_hard_kind(int32_t type) {
    return type == KXNETIF_BRIDGE || type == KXNETIF_VLAN || type == KXNETIF_VETH;
}

int32_t as_s32(const change &c) { return static_cast<int32_t>(c.number); }
uint32_t as_u32(const change &c) { return static_cast<uint32_t>(c.number); }
std::string_view text_of(const change &c) { return c.text.value_or(std::string_view()); }

// The public form shows what its record shows now: holders and stamp.
void sync_public(iface_record &record) {
    if (record.published == nullptr) return;
    record.published->refcount = record.holds;
    record.published->stamp = record.retired ? -1 : record.stamp;
}

void stamp(iface_record &record, int32_t generation) {
    record.stamp = generation;
    sync_public(record);
}

// --- applying one change in place ----------------------------------------

// The space-separated tokens of `text` appended to `list`.
void add_tokens(std::vector<std::string> &list, std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ') {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ') ++end;
        list.emplace_back(text.substr(at, end - at));
        at = end;
    }
}

// The list rule: a list of an older generation starts afresh; the tokens of
// `text` are appended.  Running out of memory changes nothing: a fresh list
// is built aside, and an append within the generation is cut back.
void append_tokens(std::vector<std::string> &list, int32_t &list_stamp, std::string_view text,
                   int32_t generation) {
    if (list_stamp != generation) {
        std::vector<std::string> fresh;
        add_tokens(fresh, text);
        list.swap(fresh);
        list_stamp = generation;
        return;
    }
    const std::size_t kept = list.size();
    try {
        add_tokens(list, text);
    } catch (const std::bad_alloc &) {
        list.resize(kept);
        throw;
    }
}

// Changes the kind and re-indexes the record.  Leaving a hard kind empties
// both slots; becoming a pair end empties slot B, a VLAN slot A.
void set_type(iface_record &record, int32_t type) {
    if (type == record.type) return;
    if (!the_store().index.move(record.type, type, &record)) throw std::bad_alloc();
    if (is_hard_kind(record.type)) record.slot_a = record.slot_b = int32_t{0};
    record.type = type;
    if (type == KXNETIF_VETH) record.slot_b = int32_t{0};
    if (type == KXNETIF_VLAN) record.slot_a = int32_t{0};
}

// Text stored in place, so a refresh of an equal-sized value allocates nothing.
void set_text(std::optional<std::string> &field, std::string_view value) {
    if (field) field->assign(value);
    else field.emplace(value);
}

void set_slot_text(std::variant<int32_t, std::string> &slot, std::string_view value) {
    if (std::string *text = std::get_if<std::string>(&slot)) text->assign(value);
    else slot.emplace<std::string>(value);
}

void set_optional(std::optional<std::string> &field, const change &c) {
    if (c.text) set_text(field, *c.text);
    else field.reset();
}

// Applies `c` to an unheld live record; throws std::bad_alloc with the
// record unchanged.
void apply_in_place(iface_record &record, const change &c) {
    const int32_t generation = the_store().generation;
    switch (c.key) {
    case KXNETIF_F_TYPE: set_type(record, as_s32(c)); break;
    case KXNETIF_F_ALT_NAME: set_text(record.alt_name, text_of(c)); break;
    case KXNETIF_F_HWADDR: set_text(record.hwaddr, text_of(c)); break;
    case KXNETIF_F_BRIDGE: set_optional(record.bridge, c); break;
    case KXNETIF_F_NETWORK_ID: set_optional(record.network_id, c); break;
    case KXNETIF_F_ADDRS:
        append_tokens(record.addrs, record.addrs_stamp, c.text.value_or(""), generation);
        break;
    case KXNETIF_F_CONF_ADDRS:
        append_tokens(record.conf_addrs, record.conf_addrs_stamp, c.text.value_or(""), generation);
        break;
    case KXNETIF_F_STATE: record.state = as_u32(c); break;
    case KXNETIF_F_PEER_CTID: record.slot_a = as_s32(c); break;
    case KXNETIF_F_PEER_NAME: set_slot_text(record.slot_b, text_of(c)); break;
    case KXNETIF_F_VLAN_DEV: set_slot_text(record.slot_a, text_of(c)); break;
    case KXNETIF_F_VLAN_ID: record.slot_b = as_s32(c); break;
    case KXNETIF_F_FLAGS: record.flags = as_u32(c); break;
    default: break; // a confirmation only stamps
    }
    record.mask |= c.key;
    stamp(record, generation);
}

bool slot_holds_number(const std::variant<int32_t, std::string> &slot, int32_t value) {
    const int32_t *number = std::get_if<int32_t>(&slot);
    return number != nullptr && *number == value;
}

bool slot_holds_text(const std::variant<int32_t, std::string> &slot, std::string_view value) {
    const std::string *text = std::get_if<std::string>(&slot);
    return text != nullptr && *text == value;
}

bool same_optional(const std::optional<std::string> &field, const change &c) {
    return field.has_value() == c.text.has_value() && (!field || *field == *c.text);
}

// Whether `c` would leave a held record as it is.
bool leaves_unchanged(const iface_record &record, const change &c) {
    const std::string_view text = c.text.value_or("");
    switch (c.key) {
    case 0: return true;
    case KXNETIF_F_TYPE: return record.type == as_s32(c);
    case KXNETIF_F_STATE: return record.state == as_u32(c);
    case KXNETIF_F_PEER_CTID: return slot_holds_number(record.slot_a, as_s32(c));
    case KXNETIF_F_VLAN_ID: return slot_holds_number(record.slot_b, as_s32(c));
    case KXNETIF_F_FLAGS: return record.flags == as_u32(c);
    case KXNETIF_F_ALT_NAME: return record.alt_name.value_or(record.name) == text;
    case KXNETIF_F_HWADDR: return record.hwaddr && *record.hwaddr == text;
    case KXNETIF_F_PEER_NAME: return slot_holds_text(record.slot_b, text);
    case KXNETIF_F_VLAN_DEV: return slot_holds_text(record.slot_a, text);
    case KXNETIF_F_BRIDGE: return same_optional(record.bridge, c);
    case KXNETIF_F_NETWORK_ID: return same_optional(record.network_id, c);
    default: return false;
    }
}

// --- records in and out of the lists ---------------------------------------

// Links a record built in `made` at the head of the live list and indexes it
// (taking over the index entry of the record it replaces).
iface_record &link_new(std::list<iface_record> &made) {
    iface_store &s = the_store();
    iface_record &record = made.front();
    if (!s.index.insert(record.type, &record)) throw std::bad_alloc();
    s.live.splice(s.live.begin(), made);
    record.self = s.live.begin();
    return record;
}

iface_record &create_record(const char *name, int32_t ctid) {
    iface_store &s = the_store();
    std::list<iface_record> made(1);
    iface_record &record = made.front();
    record.name = name;
    record.ctid = ctid;
    record.scope_ctid = s.scope_ctid;
    record.scope_phase = s.scope_phase;
    record.stamp = record.addrs_stamp = record.conf_addrs_stamp = s.generation;
    return link_new(made);
}

// A copy of what `old` shows, in the current scope; pair ends and VLANs
// keep their slots.
void copy_contents(iface_record &to, const iface_record &old) {
    const iface_store &s = the_store();
    to.name = old.name;
    to.ctid = old.ctid;
    to.type = old.type;
    to.mask = old.mask;
    to.alt_name = old.alt_name;
    to.bridge = old.bridge;
    to.network_id = old.network_id;
    to.hwaddr = old.hwaddr;
    to.addrs = old.addrs;
    to.conf_addrs = old.conf_addrs;
    to.state = old.state;
    to.flags = old.flags;
    if (old.type == KXNETIF_VETH || old.type == KXNETIF_VLAN) {
        to.slot_a = old.slot_a;
        to.slot_b = old.slot_b;
    }
    to.stamp = old.stamp;
    to.addrs_stamp = old.addrs_stamp;
    to.conf_addrs_stamp = old.conf_addrs_stamp;
    to.scope_ctid = s.scope_ctid;
    to.scope_phase = s.scope_phase;
}

void free_record(iface_record &record) {
    withdraw_public(record);
    iface_store &s = the_store();
    (record.retired ? s.retired : s.live).erase(record.self);
}

// Takes `record` out of the index (unless the caller emptied the index
// already) and frees it, or keeps it retired while it is held.
void retire(iface_record &record, bool indexed = true) {
    if (record.retired) return;
    iface_store &s = the_store();
    if (indexed) s.index.erase(record.type, &record);
    if (record.holds == 0) {
        free_record(record);
        return;
    }
    record.retired = true;
    sync_public(record);
    s.retired.splice(s.retired.begin(), s.live, record.self);
}

// Puts a copy of held `old` in its place, retires `old` and applies `c` to
// the copy.
iface_record &replace_record(iface_record &old, const change &c) {
    std::list<iface_record> made(1);
    copy_contents(made.front(), old);
    iface_record &copy = link_new(made);
    retire(old);
    apply_in_place(copy, c);
    return copy;
}

// The update path: the record standing for the interface after `c`.
iface_record &update(iface_record *record, const char *name, int32_t ctid, const change &c) {
    const int32_t generation = the_store().generation;
    // A retired record stays as its holders saw it: the change goes to the
    // interface's live record.
    if (record != nullptr && record->retired) record = nullptr;
    if (record == nullptr) record = find_iface(name, ctid, KXNETIF_ALL);
    if (record == nullptr) {
        iface_record &fresh = create_record(name, ctid);
        apply_in_place(fresh, c);
        return fresh;
    }
    if (c.key == KXNETIF_F_TYPE && is_hard_kind(record->type) && record->type != as_s32(c)) {
        stamp(*record, generation);
        return replace_record(*record, c);
    }
    if (record->holds == 0) {
        apply_in_place(*record, c);
        return *record;
    }
    stamp(*record, generation);
    if (leaves_unchanged(*record, c)) return *record;
    return replace_record(*record, c);
}

} // namespace

iface_record *find_iface(const char *name, int32_t ctid, int32_t kind) {
    if (name == nullptr) return nullptr;
    kind_index &index = the_store().index;
    if (kind != KXNETIF_ALL) return index.find(kind, ctid, name);
    for (int32_t each : any_kind_order)
        if (iface_record *record = index.find(each, ctid, name)) return record;
    return nullptr;
}

iface_update::iface_update(const iface_record *record) : record_(const_cast<iface_record *>(record)) {
    if (record != nullptr) {
        name_ = record->name.c_str();
        ctid_ = record->ctid;
    }
}

iface_update &iface_update::apply(const change &what) {
    if (failed_) return *this;
    try {
        const char *name = record_ != nullptr ? record_->name.c_str() : name_;
        const int32_t ctid = record_ != nullptr ? record_->ctid : ctid_;
        if (name == nullptr) {
            failed_ = true;
            return *this;
        }
        record_ = &update(record_, name, ctid, what);
    } catch (const std::bad_alloc &) {
        record_ = nullptr;
        failed_ = true;
        note_memory_short();
    }
    return *this;
}

iface_update &iface_update::type(int32_t kind) { return apply({KXNETIF_F_TYPE, kind, {}}); }
iface_update &iface_update::alt_name(std::string_view value) { return apply({KXNETIF_F_ALT_NAME, 0, value}); }
iface_update &iface_update::hwaddr(std::string_view value) { return apply({KXNETIF_F_HWADDR, 0, value}); }
iface_update &iface_update::bridge(std::optional<std::string_view> value) {
    return apply({KXNETIF_F_BRIDGE, 0, value});
}
iface_update &iface_update::network_id(std::optional<std::string_view> value) {
    return apply({KXNETIF_F_NETWORK_ID, 0, value});
}
iface_update &iface_update::addrs(std::string_view text) { return apply({KXNETIF_F_ADDRS, 0, text}); }
iface_update &iface_update::conf_addrs(std::string_view text) { return apply({KXNETIF_F_CONF_ADDRS, 0, text}); }
iface_update &iface_update::state(uint32_t value) { return apply({KXNETIF_F_STATE, value, {}}); }
iface_update &iface_update::flags(uint32_t value) { return apply({KXNETIF_F_FLAGS, value, {}}); }
iface_update &iface_update::peer_ctid(int32_t value) { return apply({KXNETIF_F_PEER_CTID, value, {}}); }
iface_update &iface_update::peer_name(std::string_view value) { return apply({KXNETIF_F_PEER_NAME, 0, value}); }
iface_update &iface_update::vlan_dev(std::string_view value) { return apply({KXNETIF_F_VLAN_DEV, 0, value}); }
iface_update &iface_update::vlan_id(int32_t value) { return apply({KXNETIF_F_VLAN_ID, value, {}}); }
iface_update &iface_update::confirm() { return apply({0, 0, {}}); }

void report_conf_addr(const char *device, const char *address) {
    if (device != nullptr && address != nullptr) iface_update(device, 0).conf_addrs(address);
}

void hold_iface(iface_record &record) {
    ++record.holds;
    sync_public(record);
}

void release_iface(iface_record &record) {
    if (record.holds <= 0) return;
    --record.holds;
    sync_public(record);
    if (record.holds > 0) return;
    withdraw_public(record);
    if (record.retired) free_record(record);
}

void sweep_ifaces() {
    iface_store &s = the_store();
    for (auto at = s.live.begin(); at != s.live.end();) {
        iface_record &record = *at++;
        if (record.scope_ctid == s.scope_ctid && record.scope_phase == s.scope_phase &&
            record.stamp != s.generation)
            retire(record);
    }
}

void store_retire_all() {
    iface_store &s = the_store();
    // One pass over the index instead of a removal per record.
    s.index.remove_all();
    while (!s.live.empty()) retire(s.live.front(), false);
}

const std::list<iface_record> &store_live() { return the_store().live; }
const std::list<iface_record> &store_retired() { return the_store().retired; }
std::list<iface_record> &store_live_mutable() { return the_store().live; }
int32_t store_generation() { return the_store().generation; }

void store_set_generation(int32_t generation) { the_store().generation = generation < 0 ? 0 : generation; }

void store_advance_generation() {
    int32_t &generation = the_store().generation;
    generation = generation == INT32_MAX ? 0 : generation + 1;
}

void store_set_scope(int32_t ctid, int32_t phase) {
    the_store().scope_ctid = ctid;
    the_store().scope_phase = phase;
}

void store_reset_for_tests() {
    iface_store &s = the_store();
    for (iface_record &record : s.live) withdraw_public(record);
    for (iface_record &record : s.retired) withdraw_public(record);
    s.live.clear();
    s.retired.clear();
    s.index.clear();
    s.generation = 0;
    s.scope_ctid = 0;
    s.scope_phase = scope_phase_collect;
}

} // namespace kx
