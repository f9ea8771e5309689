// The registry file: its line format, the load that rebuilds the in-memory
// lists from it, and the save that replaces it with a completely written
// copy (temporary file, fsync, rename, fsync of the directory).
#include "registry/registry_file.h"

#include "frame/guarded.h"
#include "frame/log.h"
#include "registry/model.h"
#include "sys/atomic_file.h"
#include "sys/device_probe.h"
#include "sys/fd.h"
#include "sys/paths.h"
#include "sys/text_file.h"
#include "vlan/naming.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

constexpr std::string_view vnid_prefix = "VNID_";
constexpr std::string_view iflst_prefix = "IFLST_";
constexpr std::string_view vlan_prefix = "VLAN_";
constexpr std::string_view addr_prefix = "ADDR_";

// ---- reading ----------------------------------------------------------------

// One parsed line: prefix, key, "=", quote, value, quote.
struct registry_line {
    std::string_view prefix;
    std::string key;
    std::string_view value;
};

bool parse_line(std::string_view text, registry_line &out) {
    for (std::string_view prefix : {vnid_prefix, iflst_prefix, vlan_prefix, addr_prefix}) {
        if (text.substr(0, prefix.size()) != prefix) continue;
        std::size_t equals = text.find('=', prefix.size());
        if (equals == std::string_view::npos) return false;
        if (equals + 1 >= text.size() || text[equals + 1] != '"') return false;
        std::size_t close = text.find('"', equals + 2);
        if (close == std::string_view::npos) return false;
        out.prefix = prefix;
        out.key.assign(text.substr(prefix.size(), equals - prefix.size()));
        out.value = text.substr(equals + 2, close - equals - 2);
        return true;
    }
    return false;
}

// Calls `f` with each item of a list value (runs of spaces separate items).
template <class F> void for_each_item(std::string_view value, F &&f) {
    std::string item;
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t start = value.find_first_not_of(' ', pos);
        if (start == std::string_view::npos) break;
        std::size_t end = value.find(' ', start);
        if (end == std::string_view::npos) end = value.size();
        item.assign(value.substr(start, end - start));
        f(item.c_str());
        pos = end;
    }
}

// Decimal parse as strtol into an int: optional sign, then digits up to the
// first other character; no digits gives 0; the value is taken modulo 2^32,
// so an id written as "%u" reads back as the same signed id.
int32_t parse_vid(const char *item) {
    bool negative = false;
    if (*item == '+' || *item == '-') negative = *item++ == '-';
    uint64_t value = 0;
    bool overflow = false;
    for (; *item >= '0' && *item <= '9'; ++item) {
        if (value > (uint64_t{INT64_MAX} - 9) / 10) overflow = true;
        if (!overflow) value = value * 10 + static_cast<uint64_t>(*item - '0');
    }
    if (overflow)
        value = negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX}; // as strtol
    else if (negative)
        value = ~value + 1;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// State of one load: where configured addresses are reported, and whether
// memory ran short for an entry.
struct load_context {
    conf_addr_sink report_conf_addr;
    bool dropped = false;
};

void load_network(const registry_line &line, load_context &ctx) {
    std::string network_id(line.value);
    int preexisting = bridge_exists(network_id.c_str());
    if (network_add(registry_networks(), network_id.c_str(), line.key.c_str(), preexisting) == nullptr)
        ctx.dropped = true;
}

void load_ifaces(const registry_line &line, load_context &ctx) {
    network *record = network_find_by_bridge(line.key.c_str());
    if (record == nullptr) return;
    for_each_item(line.value, [&](const char *item) {
        if (record->phys_iface().empty())
            record->set_phys_iface(item);
        else if (network_iface_add(record, item) != 0)
            ctx.dropped = true;
    });
}

void load_vlans(const registry_line &line, load_context &ctx) {
    for_each_item(line.value, [&](const char *item) {
        if (vlan_add(line.key.c_str(), parse_vid(item)) == nullptr) ctx.dropped = true;
    });
}

void load_addrs(const registry_line &line, load_context &ctx) {
    const std::string device(field_name(line.key));
    for_each_item(line.value, [&](const char *item) {
        if (addr_add(device.c_str(), item) == nullptr) ctx.dropped = true;
        if (ctx.report_conf_addr != nullptr) ctx.report_conf_addr(device.c_str(), item);
    });
}

// False when an entry was dropped for want of memory.
bool load_stream(std::FILE *stream, conf_addr_sink report_conf_addr) {
    load_context ctx;
    ctx.report_conf_addr = report_conf_addr;
    std::string text;
    bool overlong = false;
    registry_line line;
    while (read_text_line(stream, text, registry_line_max, &overlong)) {
        // A line past the bound is skipped whole: memory stays bounded.
        if (overlong) continue;
        // A C text reader stops at a NUL byte; so does the parse.
        std::string_view view(text.c_str());
        if (!parse_line(view, line)) continue;
        if (line.prefix == vnid_prefix)
            load_network(line, ctx);
        else if (line.prefix == iflst_prefix)
            load_ifaces(line, ctx);
        else if (line.prefix == vlan_prefix)
            load_vlans(line, ctx);
        else
            load_addrs(line, ctx);
    }
    return !ctx.dropped;
}

// ---- writing ----------------------------------------------------------------

// Writes one list as `PREFIXkey="item item ..."` lines.  A line that would
// pass the load's bound is ended and the list goes on in another line of the
// same key: the load appends the items of repeated keys, so whatever is
// written reads back whole.  An empty list is one line with an empty value.
class list_lines {
public:
    list_lines(std::string &out, std::string_view prefix, std::string_view key)
        : out_(out), prefix_(prefix), key_(key) {}
    list_lines(const list_lines &) = delete;
    list_lines &operator=(const list_lines &) = delete;

    // Ends the last line (may throw, so not left to a destructor).
    void finish() {
        if (!open_) start_line();
        out_.append("\"\n");
    }

    void add(std::string_view item) {
        if (!open_) {
            start_line();
        } else if (out_.size() - line_start_ + 1 + item.size() + 1 > registry_line_max) {
            out_.append("\"\n");
            start_line();
        }
        if (!empty_) out_.push_back(' ');
        out_.append(item);
        empty_ = false;
    }

private:
    void start_line() {
        line_start_ = out_.size();
        out_.append(prefix_).append(key_).append("=\"");
        open_ = true;
        empty_ = true;
    }

    std::string &out_;
    std::string_view prefix_;
    std::string_view key_;
    std::size_t line_start_ = 0;
    bool open_ = false;
    bool empty_ = true;
};

void append_network_lines(std::string &out) {
    registry_guard guard;
    for (const network &record : registry_networks()) {
        out.append(vnid_prefix).append(record.bridge()).append("=\"");
        out.append(record.network_id()).append("\"\n");
        if (record.phys_iface().empty()) continue;
        list_lines lines(out, iflst_prefix, record.bridge());
        lines.add(record.phys_iface());
        for (const std::string &iface : record.ifaces()) lines.add(iface);
        lines.finish();
    }
}

// VLAN ids are written as the signed numbers they are.
void append_vlan_lines(std::string &out) {
    for (const vlan_parent &parent : registry_vlans()) {
        list_lines lines(out, vlan_prefix, parent.name());
        for (const vlan_entry &entry : parent.entries()) lines.add(std::to_string(entry.vid));
        lines.finish();
    }
}

void append_addr_lines(std::string &out) {
    for (const addr_parent &parent : registry_addrs()) {
        list_lines lines(out, addr_prefix, parent.name());
        for (const addr_entry &entry : parent.entries()) lines.add(entry.text);
        lines.finish();
    }
}

void clear_registry_lists() {
    networks_clear();
    vlans_clear();
    addrs_clear();
}

int load_registry_file(conf_addr_sink report_conf_addr) {
    clear_registry_lists();
    read_vlan_config(0);

    std::string path = paths::rooted(paths::registry);
    // A FIFO or a device in the registry's place is refused, never waited on.
    unique_file stream = open_text_file(path.c_str());
    if (!stream) return errno == ENOENT ? 0 : -errno;
    struct stat info {};
    if (fstat(fileno(stream.get()), &info) != 0) return -errno;
    if (info.st_mtim.tv_sec == 0) return 0;
    // A partial registry would be written back by the next save.
    if (!load_stream(stream.get(), report_conf_addr)) return -ENOMEM;
    if (std::ferror(stream.get())) return -EIO;
    return 0;
}

int save_registry_file() {
    std::string content;
    append_network_lines(content);
    append_vlan_lines(content);
    append_addr_lines(content);
    const std::string path = paths::rooted(paths::registry);
    // A host that never had a registry has no directory for it either.
    if (int err = make_directories(path.substr(0, path.rfind('/'))); err != 0) return err;
    return replace_file(path, content, 0600);
}

} // namespace

int registry_load(conf_addr_sink report_conf_addr) noexcept {
    // Memory running out part-way must not pass for a shorter registry.
    const int result = guarded(-ENOMEM, [report_conf_addr] { return load_registry_file(report_conf_addr); });
    if (result != 0) clear_registry_lists();
    return result;
}

int registry_save() noexcept {
    const int result = guarded(-ENOMEM, [] { return save_registry_file(); });
    if (result != 0) kxnet_log("Failed to save kxnet.conf");
    return result;
}

bool registry_value_fits(const char *value) {
    for (const char *c = value; *c != '\0'; ++c) {
        const auto u = static_cast<unsigned char>(*c);
        if (u <= ' ' || u == 0x7f || u == '"') return false;
    }
    return true;
}

} // namespace kx
