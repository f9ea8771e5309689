// check: the registry against the kernel, one line per finding (findings.h);
// with --repair each finding mended toward the registry and looked for
// again, one line per mend, and what is left printed as findings.
#include "commands.h"

#include "findings.h"
#include "kxnet_ct.h"
#include "mends.h"
#include "outcome.h"

#include <cstdio>

namespace kxnetctl {

namespace {

nlohmann::json checked_json(const tally &counted) {
    return {{"networks", counted.networks}, {"vlans", counted.vlans}, {"addresses", counted.addresses}, {"pairs", counted.pairs}};
}

nlohmann::json finding_json(const finding &f, const std::string &text) {
    nlohmann::json item = {{"kind", f.kind}, {"subject", f.subject}, {"message", text}};
    if (!f.address.empty()) item["address"] = f.address;
    return item;
}

void print_finding(const output &out, const finding &f, bool with_mend) {
    std::string line = paint(out, f.kind, tint::bad) + "  " + f.message;
    if (with_mend && !f.hint.empty()) line += " (to mend: " + f.hint + ")";
    std::printf("%s\n", line.c_str());
}

void print_clean(const output &out, const tally &counted) {
    std::printf("%s: %d networks, %d VLANs, %d addresses, %d container interfaces match the kernel\n",
                paint(out, "clean", tint::good).c_str(), counted.networks, counted.vlans, counted.addresses, counted.pairs);
}

bool contains(const std::vector<finding> &list, const finding &f) {
    for (const auto &g : list)
        if (g.same(f)) return true;
    return false;
}

int plain_check(const output &out, const std::vector<finding> &found, const tally &counted) {
    if (out.json) {
        nlohmann::json doc = {{"clean", found.empty()}, {"checked", checked_json(counted)}, {"findings", nlohmann::json::array()}};
        for (const auto &f : found) doc["findings"].push_back(finding_json(f, f.message));
        print_json(doc);
    } else {
        for (const auto &f : found) print_finding(out, f, false);
        if (found.empty()) print_clean(out, counted);
    }
    return found.empty() ? status_ok : status_drift;
}

bool will_mend(const finding &f, const check_request &request) {
    return f.mend != mend::none && (!f.orphan() || request.prune);
}

// A finding left standing: into the document's findings, and printed.
void report_standing(const output &out, nlohmann::json &doc, const finding &f) {
    auto item = finding_json(f, f.message);
    if (!f.hint.empty()) item["mend"] = f.hint;
    doc["findings"].push_back(item);
    if (!out.json) print_finding(out, f, true);
}

// The document printed (or the clean line), and the status it stands for.
int conclude(const output &out, const nlohmann::json &doc, bool clean, const tally &counted) {
    if (out.json) print_json(doc);
    else if (clean) print_clean(out, counted);
    return clean ? status_ok : status_drift;
}

int dry_run(const output &out, const std::vector<finding> &found, const tally &counted, const check_request &request) {
    nlohmann::json doc = {{"clean", found.empty()}, {"dry_run", true}, {"checked", checked_json(counted)},
                          {"would_repair", nlohmann::json::array()}, {"findings", nlohmann::json::array()}};
    for (const auto &f : found) {
        if (will_mend(f, request)) {
            auto item = finding_json(f, f.past);
            item["mend"] = mend_words(f);
            doc["would_repair"].push_back(item);
            if (!out.json) std::printf("%s  %s: %s\n", paint(out, "would repair", tint::dim).c_str(), f.past.c_str(), mend_words(f).c_str());
        } else {
            report_standing(out, doc, f);
        }
    }
    return conclude(out, doc, found.empty(), counted);
}

int repair(const output &out, const std::vector<finding> &before, const check_request &request) {
    apply_mends(before, request.prune);
    const host_look after = look_at_host();
    if (after.failed()) return fail_code(KXNET_ERR_SYSTEM, after.failure);
    nlohmann::json doc = {{"clean", after.found.empty()}, {"checked", checked_json(after.counted)},
                          {"repaired", nlohmann::json::array()}, {"findings", nlohmann::json::array()}};
    for (const auto &f : before) {
        if (contains(after.found, f)) continue;
        doc["repaired"].push_back(finding_json(f, f.past));
        if (!out.json) std::printf("%s  %s\n", paint(out, f.orphan() ? "pruned" : "repaired", tint::good).c_str(), f.past.c_str());
    }
    for (const auto &f : after.found) report_standing(out, doc, f);
    return conclude(out, doc, after.found.empty(), after.counted);
}

} // namespace

int check(const output &out, const check_request &request) {
    const host_look look = look_at_host();
    if (look.failed()) return fail_code(KXNET_ERR_SYSTEM, look.failure);
    if (request.dry_run) return dry_run(out, look.found, look.counted, request);
    if (request.repair) return repair(out, look.found, request);
    return plain_check(out, look.found, look.counted);
}

} // namespace kxnetctl
