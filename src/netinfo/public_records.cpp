// Building and freeing the public kxnetif_info records and result lists.  A
// record's public form is one block: the record, the owning store record,
// the string list arrays and every string, so handing out a record costs one
// allocation and callers see plain C strings.
#include "netinfo/public_records.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace kx {
namespace {

struct public_block {
    kxnetif_info info; // first, so the block and the record share an address
    iface_record *owner;
};

// Lays strings out behind the arrays of a block.
class block_writer {
public:
    explicit block_writer(char *at) : at_(at) {}
    char *text(const std::string &value) {
        char *out = at_;
        std::memcpy(out, value.c_str(), value.size() + 1);
        at_ += value.size() + 1;
        return out;
    }
    char *text(const std::optional<std::string> &value) { return value ? text(*value) : nullptr; }

private:
    char *at_;
};

std::size_t text_size(const std::string &value) { return value.size() + 1; }
std::size_t text_size(const std::optional<std::string> &value) { return value ? value->size() + 1 : 0; }
std::size_t list_text_size(const std::vector<std::string> &list) {
    std::size_t size = 0;
    for (const std::string &each : list) size += text_size(each);
    return size;
}
std::size_t slot_text_size(const std::variant<int32_t, std::string> &slot) {
    const std::string *text = std::get_if<std::string>(&slot);
    return text != nullptr ? text_size(*text) : 0;
}
// Entries of a null-ended array for `list`; none for an empty list.
std::size_t array_entries(const std::vector<std::string> &list) { return list.empty() ? 0 : list.size() + 1; }

std::size_t block_size(const iface_record &r) {
    return sizeof(public_block) + (array_entries(r.addrs) + array_entries(r.conf_addrs)) * sizeof(char *) +
           text_size(r.name) + text_size(r.alt_name) + text_size(r.bridge) + text_size(r.network_id) +
           text_size(r.hwaddr) + list_text_size(r.addrs) + list_text_size(r.conf_addrs) +
           slot_text_size(r.slot_a) + slot_text_size(r.slot_b);
}

char **fill_list(char **array, block_writer &out, const std::vector<std::string> &list) {
    if (list.empty()) return nullptr;
    for (std::size_t i = 0; i < list.size(); ++i) array[i] = out.text(list[i]);
    array[list.size()] = nullptr;
    return array;
}

void fill(kxnetif_info &info, const iface_record &r, char **arrays, block_writer &out) {
    info.mask = r.mask;
    info.type = r.type;
    info.ctid = r.ctid;
    info.name = out.text(r.name);
    info.alt_name = r.alt_name ? out.text(*r.alt_name) : info.name;
    info.bridge = out.text(r.bridge);
    info.network_id = out.text(r.network_id);
    info.addrs = fill_list(arrays, out, r.addrs);
    info.conf_addrs = fill_list(arrays + array_entries(r.addrs), out, r.conf_addrs);
    info.hwaddr = out.text(r.hwaddr);
    info.state = r.state;
    if (const std::string *dev = std::get_if<std::string>(&r.slot_a)) info.vlan_dev = out.text(*dev);
    else info.peer_ctid = std::get<int32_t>(r.slot_a);
    if (const std::string *peer = std::get_if<std::string>(&r.slot_b)) info.peer_name = out.text(*peer);
    else info.vlan_id = std::get<int32_t>(r.slot_b);
    info.flags = r.flags;
    info.refcount = r.holds;
    info.stamp = r.retired ? -1 : r.stamp;
    info.addrs_stamp = r.addrs_stamp;
    info.conf_addrs_stamp = r.conf_addrs_stamp;
    info.scope_ctid = r.scope_ctid;
    info.scope_phase = r.scope_phase;
    // Neighbours in the store are the store's own: a result list is the
    // caller's way through the records.
    info.prev = info.next = nullptr;
}

} // namespace

kxnetif_info *publish(iface_record &record) {
    if (record.published != nullptr) return record.published;
    void *memory = std::calloc(1, block_size(record));
    if (memory == nullptr) throw std::bad_alloc();
    auto *block = static_cast<public_block *>(memory);
    block->owner = &record;
    auto *arrays = reinterpret_cast<char **>(block + 1);
    block_writer out(reinterpret_cast<char *>(arrays + array_entries(record.addrs) +
                                              array_entries(record.conf_addrs)));
    fill(block->info, record, arrays, out);
    record.published = &block->info;
    return record.published;
}

void withdraw_public(iface_record &record) noexcept {
    std::free(record.published); // the record is the block's first member
    record.published = nullptr;
}

iface_record &record_of(const kxnetif_info *info) noexcept {
    return *reinterpret_cast<const public_block *>(info)->owner;
}

kxnetif_info_list *make_info_list(const std::vector<kxnetif_info *> &items) noexcept {
    auto *list = static_cast<kxnetif_info_list *>(std::malloc(sizeof(kxnetif_info_list)));
    if (list == nullptr) return nullptr;
    list->items = static_cast<kxnetif_info **>(std::malloc((items.size() + 1) * sizeof(kxnetif_info *)));
    if (list->items == nullptr) {
        std::free(list);
        return nullptr;
    }
    for (std::size_t i = 0; i < items.size(); ++i) list->items[i] = items[i];
    list->items[items.size()] = nullptr;
    return list;
}

char *caller_copy(const char *text) noexcept { return strdup(text); }

void free_info_list(kxnetif_info_list *list) noexcept {
    if (list == nullptr) return;
    std::free(list->items);
    std::free(list);
}

} // namespace kx
