// What the host's link dump of one snapshot showed about each link's kind
// and master, so the later steps of the same snapshot need not ask the
// kernel again for answers the dump already gave.
#pragma once

#include "netinfo/name_table.h"

#include <cstdint>
#include <linux/netlink.h>
#include <net/if.h>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

// Whether a device is a Linux bridge, as far as its link kind settles it.
enum class bridge_answer : uint8_t {
    ask,        // the kind does not settle it: probe as usual
    bridge,     // the bridge driver's own device
    not_bridge, // a driver that neither makes bridge attributes nor answers bridge requests
};

struct link_facts {
    link_facts() = default;
    // The name table points into `entries`: a move keeps their buffer, a
    // copy would not.
    link_facts(link_facts &&) = default;
    link_facts &operator=(link_facts &&) = default;

    struct entry {
        char name[IFNAMSIZ]; // zero-padded to its full width
        bridge_answer answer;
        int32_t index;  // the link's index
        int32_t master; // its master's index; 0: none
    };
    struct entry_name {
        std::string_view operator()(const entry &link) const noexcept;
    };
    bool filled = false;         // a host dump of this snapshot ran
    bool whole = false;          // ... of every link, not of one asked for
    std::vector<entry> entries;  // in dump order
    name_table<const entry, entry_name> by_name; // into `entries`
    std::vector<std::pair<int32_t, uint32_t>> by_master; // (master, entry) of ports, by master

    // Notes one link message of the dump (in dump order).
    void note(const nlmsghdr *message);
    // Builds the table for lookups (the first entry of a name answers for
    // it); marks the facts filled.
    void finish();
    // The answer for device `name`; ask for a name the dump did not show.
    bridge_answer bridge_answer_for(const char *name) const;
    // The links whose master is the bridge driver's device `bridge`, in
    // alphasort order as its "brif" directory lists them; none when the
    // dump was not whole or did not show `bridge` as such a device.
    std::optional<std::vector<std::string>> ports_of(const char *bridge) const;

private:
    const entry *find(const char *name) const;
};

} // namespace kx
