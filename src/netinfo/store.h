// The interface information store: one record per interface, changed field
// by field through iface_update.  A record that a result list holds is never
// changed: a change puts a copy in its place and the held record is retired,
// to be freed when its last holder lets go.  The public kxnetif_info form of
// a record is made only when a result list hands it out (public_records.h).
#pragma once

#include "kxnet_ct.h"

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kx {

// Phases of the collection scope.
enum collection_phase : int32_t { scope_phase_collect = 0, scope_phase_registry = 1 };

// One interface as the store knows it.  The fields carry the meaning of the
// kxnetif_info fields of the same names.
struct iface_record {
    std::string name;
    int32_t ctid = 0;
    int32_t type = KXNETIF_UNKNOWN;
    uint32_t mask = KXNETIF_F_NAME | KXNETIF_F_CTID;
    std::optional<std::string> alt_name; // none: the interface's own name
    std::optional<std::string> bridge;
    std::optional<std::string> network_id;
    std::optional<std::string> hwaddr;
    std::vector<std::string> addrs;      // empty: none
    std::vector<std::string> conf_addrs; // empty: none
    uint32_t state = 0;
    uint32_t flags = 0;
    // Slot A is a VLAN's underlying device (text) or a pair end's peer
    // container (number); slot B a VLAN id (number) or a peer name (text).
    // A slot keeps whichever the last key set, as the public union does.
    std::variant<int32_t, std::string> slot_a{0};
    std::variant<int32_t, std::string> slot_b{0};
    int32_t stamp = 0; // generation of the last creation, change or confirmation
    int32_t addrs_stamp = 0;
    int32_t conf_addrs_stamp = 0;
    int32_t scope_ctid = 0;
    int32_t scope_phase = scope_phase_collect;

    // The store's own bookkeeping.
    int32_t holds = 0;     // result lists (and internal walks) holding the record
    bool retired = false;  // out of the index, kept only for its holders
    kxnetif_info *published = nullptr; // its public form while a result list holds it
    std::list<iface_record>::iterator self; // its place in the live or retired list

    const char *vlan_dev() const { return slot_text(slot_a); }
    const char *peer_name() const { return slot_text(slot_b); }
    int32_t peer_ctid() const { return slot_number(slot_a); }
    int32_t vlan_id() const { return slot_number(slot_b); }

private:
    static const char *slot_text(const std::variant<int32_t, std::string> &slot) {
        const std::string *text = std::get_if<std::string>(&slot);
        return text != nullptr ? text->c_str() : nullptr;
    }
    static int32_t slot_number(const std::variant<int32_t, std::string> &slot) {
        const int32_t *number = std::get_if<int32_t>(&slot);
        return number != nullptr ? *number : 0;
    }
};

// The live record of `name` in `ctid` under `kind` (KXNETIF_ALL: the kinds
// ETH, BRIDGE, VETH, VLAN, VNIC, UNKNOWN in that order); null when none.
iface_record *find_iface(const char *name, int32_t ctid, int32_t kind);

// A run of changes to one interface.  The record is found, or created, by
// the first change; each later change goes to the record the previous one
// left standing for the interface (a copy when the record was held).  When
// memory runs out the change and every later one have no effect, and the
// shortage is noted for the query.  Only one update runs at a time.
class iface_update {
public:
    iface_update(const char *name, int32_t ctid) : name_(name), ctid_(ctid) {}
    // Continues from `record` (held or retired: its live successor).
    explicit iface_update(const iface_record *record);

    iface_update &type(int32_t kind);
    iface_update &alt_name(std::string_view value);
    iface_update &hwaddr(std::string_view value);
    iface_update &bridge(std::optional<std::string_view> value);
    iface_update &network_id(std::optional<std::string_view> value);
    // Space-separated tokens, appended within a generation, afresh in the next.
    iface_update &addrs(std::string_view text);
    iface_update &conf_addrs(std::string_view text);
    iface_update &state(uint32_t value);
    iface_update &flags(uint32_t value);
    iface_update &peer_ctid(int32_t value);
    iface_update &peer_name(std::string_view value);
    iface_update &vlan_dev(std::string_view value);
    iface_update &vlan_id(int32_t value);
    // Marks the record as seen in this generation without changing it.
    iface_update &confirm();

    // The record that now stands for the interface; null before the first
    // change and after a failed one.
    iface_record *record() const { return record_; }
    bool failed() const { return failed_; }

    struct change; // one keyed change, as the single update path applies it

private:
    iface_update &apply(const change &what);

    const char *name_ = nullptr;
    int32_t ctid_ = 0;
    iface_record *record_ = nullptr;
    bool failed_ = false;
};

// A configured address of a host device, as the registry load reports it.
void report_conf_addr(const char *device, const char *address);

// Holding: a held record stays as it is; releasing the last hold of a
// retired record frees it.
void hold_iface(iface_record &record);
void release_iface(iface_record &record);

// Retires every live record of the current scope the current generation has
// not touched.
void sweep_ifaces();
// Retires every live record (the start of a query).
void store_retire_all();

// The live records, newest first, and the retired ones still held.
const std::list<iface_record> &store_live();
const std::list<iface_record> &store_retired();
std::list<iface_record> &store_live_mutable();

int32_t store_generation();
void store_set_generation(int32_t generation); // tests set a start value
void store_advance_generation();               // past INT32_MAX continues at 0
void store_set_scope(int32_t ctid, int32_t phase);
// Frees every record, live and retired, public forms included (tests only).
void store_reset_for_tests();

} // namespace kx
