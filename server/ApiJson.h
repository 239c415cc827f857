// The API's JSON shapes, shared by the HTTP answers and the event stream.
#pragma once

#include "Model.h"

#include <map>
#include <nlohmann/json.hpp>

namespace nvserver {

nlohmann::json TimeJson(Time t); // null for 0
nlohmann::json TargetJson(const Target& target);
nlohmann::json AlertJson(const Alert& alert, const std::map<std::string, std::int64_t>& counts,
                         Time now);
nlohmann::json ReceiptJson(const Receipt& receipt);
nlohmann::json StationJson(const Station& station);
// Never throws on bytes that are not UTF-8: they are replaced.
std::string Dump(const nlohmann::json& j);

} // namespace nvserver
