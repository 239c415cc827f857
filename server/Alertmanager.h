// Prometheus Alertmanager's webhook (version "4"): a notification for one
// group of alerts becomes one Nivaxel alert while the group fires, and is
// cancelled once Alertmanager says the group is resolved.
#pragma once

#include "IntegrationConfig.h"
#include "Model.h"

#include <nlohmann/json.hpp>

#include <string>

namespace nvserver {

struct HookDecision {
    enum Kind { Create, Cancel, Refuse } kind = Refuse;
    int status = 400;       // for Refuse
    std::string reason;
    std::string groupKey;
    Alert alert;            // Create: fields and target set
};

// {labels.NAME}, {annotations.NAME}, {status}, {count}; an unknown name is empty.
std::string RenderTemplate(const std::string& text, const nlohmann::json& labels,
                           const nlohmann::json& annotations, const std::string& status, std::size_t count);

// Reads one notification. Whether a firing group was already sent is the
// caller's to check, with the store, by `groupKey`.
HookDecision ReadAlertmanager(const std::string& body, const AlertmanagerConfig& config, const Groups& groups,
                              Time now);

} // namespace nvserver
