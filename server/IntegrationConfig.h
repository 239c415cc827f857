// What the administrator configures for the systems that raise alerts in
// Nivaxel (CAP sources, Alertmanager) and for the outgoing webhooks: one
// file of `key = value` lines, given to `serve --integrations FILE`.
#pragma once

#include "Model.h"

#include <set>
#include <string>
#include <vector>

namespace nvserver {

// A CAP area (or address, geocode, parameter) that names groups.
struct CapMapping {
    enum Kind { Area, Geocode, Parameter, Address } kind = Area;
    std::string match;                // compared without case
    std::vector<std::string> groups;
};

struct CapConfig {
    std::vector<CapMapping> mappings;
    std::vector<std::string> defaultGroups;     // when nothing matches
    std::string testGroup;                      // where Exercise/Test documents go
    bool exerciseToTarget = false;              // send those to their real target instead
    std::set<std::string> urgency{"Immediate", "Expected"};
    std::set<std::string> severity{"Extreme", "Severe"};
    std::set<std::string> certainty{"Observed", "Likely"};
    bool replaceUnsupported = false;            // characters Windows-1252 lacks: '?' or refusal
    std::int64_t defaultExpiry = 86400;         // when the document gives no `expires`
    std::string sender;                         // our own CAP sender; the host name by default
};

struct AlertmanagerConfig {
    std::string author = "Alertmanager";
    // Over the group's common labels and annotations, and for `line` over
    // each alert's: {labels.NAME}, {annotations.NAME}, {status}, {count}.
    std::string subject = "{labels.alertname}";
    std::string line = "{annotations.summary}";
    std::string targetLabel = "nivaxel_target";
    std::string defaultTarget;                  // a group, else a computer
    std::int64_t expiry = 86400;
};

struct WebhookTarget {
    std::string url, secret;
    std::set<std::string> events;               // empty: all
};

struct WebhookConfig {
    std::vector<WebhookTarget> targets;
    std::int64_t queueLimit = 10000;
    int retryMinMs = 1000, retryMaxMs = 300000;
    int timeoutMs = 5000;
    std::int64_t giveUpAfter = 86400;           // seconds after which an undelivered event is dropped
};

inline const char* const kWebhookEvents[] = {"alert.created", "receipt.acknowledged",
                                             "alert.acknowledged", "alert.expired"};

struct IntegrationConfig {
    CapConfig cap;
    AlertmanagerConfig alertmanager;
    WebhookConfig webhooks;
};

// Reads the file; false with `error` naming the line at fault.
bool LoadIntegrationConfig(const std::string& path, IntegrationConfig& out, std::string& error);
bool ParseIntegrationConfig(const std::string& text, IntegrationConfig& out, std::string& error);

} // namespace nvserver
