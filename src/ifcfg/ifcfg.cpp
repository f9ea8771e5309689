// The ifcfg files of the host's devices: whole-file writes through a unique
// temporary file and one rename, removal, and the three ways of locating the
// file that configures a device (own name, DEVICE= key, hardware address).
#include "ifcfg/ifcfg.h"

#include "frame/guarded.h"
#include "frame/names.h"
#include "frame/state.h"
#include "ifcfg/ifcfg_facts.h"
#include "kxnet_ct.h"
#include "sys/atomic_file.h"
#include "sys/fd.h"
#include "sys/file_identity.h"
#include "sys/memory_short.h"
#include "sys/paths.h"
#include "sys/text_file.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kx {

namespace {

constexpr std::string_view file_prefix = "ifcfg-";

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_handle = std::unique_ptr<DIR, dir_closer>;

std::string layout_dir() {
    return paths::rooted(state().suse_flag ? paths::ifcfg_suse_dir : paths::ifcfg_redhat_dir);
}

std::string ifcfg_path(const std::string &dir, std::string_view device) {
    std::string path = dir;
    path.append("/").append(file_prefix).append(device);
    return path;
}

// A name that makes one file name in the directory: not empty, no slash (no
// device can have one, and it would lead the path out of the directory).
bool usable_file_name(const char *name) {
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr;
}

bool path_exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Calls `on_line` with every line of the regular file at `path` (newline
// removed, cut at an embedded NUL as a C text would be) until it returns true.
// Files that cannot be opened or are not regular files are skipped.
template <class OnLine>
void for_each_line(const std::string &path, OnLine &&on_line) {
    unique_file stream = open_text_file(path.c_str());
    if (!stream) return;
    std::string line;
    while (read_text_line(stream.get(), line))
        if (on_line(up_to_nul(line))) return;
}

// Calls `on_file(path, name, dir_fd)` for every "ifcfg-" entry of `dir`, in
// the order the directory yields them, until it returns true; `dir_fd` is the
// open directory, for status queries of the entry by name alone.  false when
// `dir` cannot be opened.
template <class OnFile>
bool for_each_ifcfg_entry(const std::string &dir, OnFile &&on_file) {
    dir_handle handle(opendir(dir.c_str()));
    if (!handle) {
        note_if_memory_short(errno);
        return false;
    }
    while (const dirent *entry = readdir(handle.get())) {
        std::string_view name(entry->d_name);
        if (!name.starts_with(file_prefix)) continue;
        std::string path = dir;
        path.append("/").append(name);
        if (on_file(path, name, dirfd(handle.get()))) break;
    }
    return true;
}

// "DEVICE=" at the start, the name, then the end of the text or white space.
bool line_names_device(std::string_view line, std::string_view device) {
    const std::optional<std::string_view> value = ifcfg_line_value(line, ifcfg_device_key, false);
    if (!value || !value->starts_with(device)) return false;
    return value->size() == device.size() || ifcfg_white((*value)[device.size()]);
}

// The leading letters of a device name: eth0 gives eth, br-x gives br.
std::string_view alphabetic_stem(std::string_view device) {
    size_t end = 0;
    while (end < device.size() && isalpha(static_cast<unsigned char>(device[end]))) ++end;
    return device.substr(0, end);
}

// The SuSE file whose name holds the hardware address text; with several,
// the first whose name after "ifcfg-" holds the device's alphabetic stem.
std::optional<std::string> find_by_hwaddr(const char *device, std::string_view hwaddr) {
    std::vector<std::pair<std::string, std::string>> candidates; // (name, path)
    bool listed = for_each_ifcfg_entry(paths::rooted(paths::ifcfg_suse_dir),
                                       [&](const std::string &path, std::string_view name, int) {
                                           if (name.find(hwaddr) != std::string_view::npos)
                                               candidates.emplace_back(name, path);
                                           return false;
                                       });
    if (!listed || candidates.empty()) return std::nullopt;
    if (candidates.size() == 1) return candidates.front().second;
    std::string_view stem = alphabetic_stem(device);
    for (const auto &[name, path] : candidates)
        if (std::string_view(name).substr(file_prefix.size()).find(stem) != std::string_view::npos) return path;
    return std::nullopt;
}

} // namespace

std::string ifcfg_device_path(std::string_view device) { return ifcfg_path(layout_dir(), device); }

namespace {

// The device's ifcfg path in the current layout, formed in a fixed buffer:
// the removal is also the undo of a failed VLAN creation, which must not be
// skipped for want of memory.  False for a name that cannot be a file's.
bool fixed_device_path(const char *device, paths::fixed_path &out) {
    if (!usable_file_name(device)) return false;
    const paths::fixed_path dir =
        paths::rooted_fixed(state().suse_flag ? paths::ifcfg_suse_dir : paths::ifcfg_redhat_dir);
    const int length = std::snprintf(out.text, sizeof out.text, "%s/%.*s%s", dir.c_str(),
                                     static_cast<int>(file_prefix.size()), file_prefix.data(), device);
    return dir.text[0] != '\0' && length >= 0 && static_cast<size_t>(length) < sizeof out.text;
}

} // namespace

void ifcfg_remove(const char *device) {
    paths::fixed_path path;
    if (fixed_device_path(device, path)) unlink(path.c_str());
}

void ifcfg_remove_if_written(const char *device) {
    paths::fixed_path path;
    if (fixed_device_path(device, path) && carries_written_mark(path.c_str())) unlink(path.c_str());
}

bool ifcfg_present(const char *device) {
    paths::fixed_path path;
    struct stat info {};
    return fixed_device_path(device, path) && lstat(path.c_str(), &info) == 0;
}

int ifcfg_write_bridge(const char *bridge) {
    if (!usable_file_name(bridge)) return -EINVAL;
    if (!state().suse_flag) return 0;
    return guarded(-ENOMEM, [&] {
        std::string dir = layout_dir();
        constexpr std::string_view content = "BOOTPROTO='static'\n"
                                             "BRIDGE='yes'\n"
                                             "BRIDGE_PORTS=''\n"
                                             "STARTMODE='auto'\n"
                                             "USERCONTROL='no'\n";
        return replace_file(ifcfg_path(dir, bridge), content, 0600, true);
    });
}

int ifcfg_write_vlan(std::string_view parent_name, std::string_view vlan_name) {
    // Names written into a file the start-up scripts source as shell.
    if (!plain_name_characters(parent_name) || !plain_name_characters(vlan_name)) return -EINVAL;
    return guarded(-ENOMEM, [&] {
        std::string dir = layout_dir();
        std::string content;
        if (state().suse_flag) {
            content.append("BOOTPROTO='static'\nETHERDEVICE='").append(parent_name);
            content.append("'\nSTARTMODE='auto'\nUSERCONTROL='no'\n");
        } else {
            content.append("BOOTPROTO=static\nDEVICE=").append(vlan_name);
            content.append("\nONBOOT=yes\nVLAN=yes\n");
        }
        return replace_file(ifcfg_path(dir, vlan_name), content, 0600, true);
    });
}

std::optional<std::string> ifcfg_find_by_device_key(const char *device) {
    if (device == nullptr) return std::nullopt;
    return guarded(std::optional<std::string>(), [&]() -> std::optional<std::string> {
        std::optional<std::string> found;
        for_each_ifcfg_entry(paths::rooted(paths::ifcfg_redhat_dir),
                             [&](const std::string &path, std::string_view, int) {
                                 for_each_line(path, [&](std::string_view line) {
                                     if (line_names_device(line, device)) found = path;
                                     return found.has_value();
                                 });
                                 return found.has_value();
                             });
        return found;
    });
}

namespace {

// One status query of entry `name` of the open directory `dir_fd`, links
// followed as an open follows them.
ifcfg_device_index::entry_status entry_status_of(int dir_fd, std::string_view name) {
    ifcfg_device_index::entry_status status;
    struct stat info {};
    if (fstatat(dir_fd, std::string(name).c_str(), &info, 0) != 0) return status;
    status.exists = true;
    if (S_ISREG(info.st_mode)) status.regular = identity_of(info);
    return status;
}

} // namespace

namespace {

// What `fill` gathers from every "ifcfg-" entry of `dir`: an absent
// directory holds no file; none when the directory cannot be read.
template <class Listing, class Fill>
std::optional<Listing> list_ifcfg_dir(const std::string &dir, Fill &&fill) {
    Listing listing;
    if (for_each_ifcfg_entry(dir, [&](const std::string &path, std::string_view name, int dir_fd) {
            fill(listing, path, name, dir_fd);
            return false;
        }))
        return listing;
    if (errno == ENOENT) return Listing{};
    return std::nullopt;
}

} // namespace

ifcfg_device_index ifcfg_device_index::build() {
    ifcfg_device_index index;
    const bool read_keys = state().suse_flag == 0;
    index.redhat_dir_ = paths::rooted(paths::ifcfg_redhat_dir);
    index.redhat_entries_ = list_ifcfg_dir<std::unordered_map<std::string, entry_status>>(
        index.redhat_dir_, [&](auto &entries, const std::string &path, std::string_view name, int dir_fd) {
            const entry_status &status =
                entries.insert_or_assign(std::string(name), entry_status_of(dir_fd, name)).first->second;
            // The line reader takes regular files only.
            if (!read_keys || !status.regular) return;
            const std::shared_ptr<const ifcfg_facts> facts = ifcfg_facts_of(path, *status.regular);
            for (const std::string &key : facts->device_keys) index.first_file_.try_emplace(key, path);
        });
    // A listing spares a status query per device.
    index.suse_entries_ = list_ifcfg_dir<std::unordered_set<std::string>>(
        paths::rooted(paths::ifcfg_suse_dir),
        [](auto &names, const std::string &, std::string_view name, int) { names.emplace(name); });
    return index;
}

bool ifcfg_device_index::may_hold(std::string_view dir, const std::string &file) const {
    if (dir == paths::ifcfg_redhat_dir) return !redhat_entries_ || redhat_entries_->count(file) != 0;
    return !suse_entries_ || suse_entries_->count(file) != 0;
}

const ifcfg_device_index::entry_status *ifcfg_device_index::status_of(std::string_view path) const {
    static const entry_status absent;
    if (!redhat_entries_ || !path.starts_with(redhat_dir_)) return nullptr;
    path.remove_prefix(redhat_dir_.size());
    if (!path.starts_with('/')) return nullptr;
    path.remove_prefix(1);
    if (!path.starts_with(file_prefix) || path.find('/') != std::string_view::npos) return nullptr;
    auto hit = redhat_entries_->find(std::string(path));
    return hit != redhat_entries_->end() ? &hit->second : &absent;
}

std::optional<std::string> ifcfg_device_index::find(const char *device) const {
    if (device == nullptr) return std::nullopt;
    std::string_view name(device);
    // A key never holds white space; such a name is decided by the text after
    // the key, which only the full search looks at.
    for (char c : name)
        if (ifcfg_white(c)) return ifcfg_find_by_device_key(device);
    auto hit = first_file_.find(std::string(name));
    if (hit == first_file_.end()) return std::nullopt;
    return hit->second;
}

std::optional<std::string> ifcfg_find(const char *device, int kind, const char *hwaddr,
                                      const ifcfg_device_index *index) {
    if (!usable_file_name(device)) return std::nullopt;
    return guarded(std::optional<std::string>(), [&]() -> std::optional<std::string> {
        // The device's own file, in either directory; the index's listings
        // spare the status query of a name that is not there.
        const std::string file = std::string(file_prefix) + device;
        for (std::string_view dir : {paths::ifcfg_redhat_dir, paths::ifcfg_suse_dir}) {
            if (index != nullptr && !index->may_hold(dir, file)) continue;
            std::string own = ifcfg_path(paths::rooted(dir), device);
            const ifcfg_device_index::entry_status *known = index != nullptr ? index->status_of(own) : nullptr;
            if (known != nullptr ? known->exists : path_exists(own)) return own;
        }
        if (!state().suse_flag) return index != nullptr ? index->find(device) : ifcfg_find_by_device_key(device);
        if (hwaddr == nullptr || hwaddr[0] == '\0' || kind == KXNETIF_VLAN) return std::nullopt;
        return find_by_hwaddr(device, hwaddr);
    });
}

} // namespace kx
