// The library's records as JSON objects whose field names are the records'
// own (kxnet_network, kxnetif_info).
#pragma once

#include "api.h"

#include <nlohmann/json.hpp>

namespace kxnetctl {

nlohmann::json to_json(const network_record &network);
nlohmann::json to_json(const iface_record &record);
// "up", "down" or null for a record's state.
nlohmann::json state_json(uint32_t state);

} // namespace kxnetctl
