// The outcome lines the wrappers of the network and VLAN operations write
// after their bodies, one entry per operation.  Each format names the
// operation's arguments in the order its wrapper passes them.
#pragma once

#include "frame/frame.h"

namespace kx::outcome {

inline constexpr outcome_lines network_added{"Network \"%s\" is added", "Failed to add network \"%s\", err = %d"};
inline constexpr outcome_lines network_removed{"Network \"%s\" is removed",
                                               "Failed to remove network \"%s\", err = %d"};
inline constexpr outcome_lines network_renamed{"Network \"%s\" renamed to \"%s\"",
                                               "Failed to rename network \"%s\" to \"%s\", err = %d"};
inline constexpr outcome_lines interface_attached{
    "Interface \"%s\" is added to network \"%s\"",
    "Failed to attach interface \"%s\" to network \"%s\", err = %d"};
inline constexpr outcome_lines interface_detached{"Interface \"%s\" is detached from network",
                                                  "Failed to detach interface \"%s\" from network, err = %d"};
inline constexpr outcome_lines vlan_added{"VLAN %d over \"%s\" is added", "Failed to add VLAN %d over \"%s\", err = %d"};
inline constexpr outcome_lines vlan_removed{"VLAN \"%s\" is removed", "Failed to remove VLAN \"%s\", err = %d"};

} // namespace kx::outcome
