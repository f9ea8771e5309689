// Mending drift.  A host start (kxnet_init_devices) is used only for what no
// narrower export brings back (a bridge missing or down, its interfaces and
// VLAN devices): on a live host it reuses every bridge, leaves every port in
// place and re-adds only what is missing.  A missing ifcfg file is written
// again in place (file_mend.h): nothing is removed to be made anew.
#include "mends.h"

#include "file_mend.h"
#include "kxnet_ct.h"
#include "library_call.h"
#include "orphans.h"
#include "kernel.h"
#include "outcome.h"

#include <algorithm>
#include <functional>

namespace kxnetctl {

namespace {

bool any_of_mend(const std::vector<finding> &found, enum mend wanted) {
    return std::any_of(found.begin(), found.end(), [&](const finding &f) { return f.mend == wanted; });
}

// A refused call in words: what was called, the code and what the library
// printed meanwhile.
bool call(const std::string &what, const std::function<int()> &body, std::string &why) {
    int code = library_call(body);
    if (code == KXNET_OK) return true;
    const std::string &said = library_words();
    why = what + ": " + code_words(code) + (said.empty() ? "" : " (" + said + ")");
    return false;
}

// Tells a failed mend on standard error; the finding stays and says so.
void tell(bool mended, const std::string &why) {
    if (!mended) fail(status_drift, "mend: " + why);
}

} // namespace

bool restore_host(std::string &why) {
    return call("host start", [] { return kxnet_init_devices(); }, why);
}

bool mend_finding(const finding &f, std::string &why) {
    switch (f.mend) {
    case mend::attach:
        return call("attach " + f.network_id + " " + f.subject,
                    [&] { return kxnet_br_attach_CT(f.network_id.c_str(), f.subject.c_str()); }, why);
    case mend::address:
        return call("addr set " + f.subject + " " + f.address,
                    [&] { return compat_kxnet_addr_set(f.subject.c_str(), f.address.c_str()); }, why);
    case mend::rewrite: return write_missing_file(f, why);
    default: return false;
    }
}

std::string mend_words(const finding &f) {
    switch (f.mend) {
    case mend::restore: return "host start (kxnet_init_devices)";
    case mend::rewrite: return "write " + ifcfg_path(f.subject) + " again (the device and its ports stay)";
    case mend::attach: return "attach " + f.network_id + " " + f.subject;
    case mend::address: return "addr set " + f.subject + " " + f.address;
    case mend::prune: return "removed (--prune)";
    case mend::none: break;
    }
    return f.hint;
}

void apply_mends(const std::vector<finding> &found, bool prune) {
    std::string why;
    if (any_of_mend(found, mend::restore)) tell(restore_host(why), why);
    // What the steps above brought back may carry the rest already.
    const host_look left = look_at_host();
    for (const auto &f : left.failed() ? found : left.found)
        if (f.mend == mend::attach || f.mend == mend::address || f.mend == mend::rewrite) tell(mend_finding(f, why), why);
    if (!prune) return;
    for (const auto &f : found)
        if (f.orphan() && !prune_orphan(f)) fail(status_drift, "mend: " + f.subject + " could not be pruned");
}

} // namespace kxnetctl
