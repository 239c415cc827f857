// Common Alerting Protocol 1.2 documents: read (checked against the OASIS
// schema, with no network, no DTD and no entity expansion), turned into a
// Nivaxel alert by the administrator's rules, and written for other systems
// (one alert, or an Atom feed of them).
#pragma once

#include "IntegrationConfig.h"
#include "Model.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nvserver {

constexpr std::size_t kMaxCapBytes = 1u << 20;
extern const char kCapNamespace[];
// The schema's text, built into the server (server/cap/CAP-v1.2.xsd).
extern const char kCapSchema[];

using CapPair = std::pair<std::string, std::string>; // valueName, value

struct CapArea {
    std::string desc;
    std::vector<CapPair> geocodes;
};

struct CapInfo {
    std::string language, event, urgency, severity, certainty, senderName, headline, description,
        instruction, effective, onset, expires;
    std::vector<std::string> categories;
    std::vector<CapPair> parameters;
    std::vector<CapArea> areas;
};

struct CapDocument {
    std::string identifier, sender, sent, status, msgType, scope, addresses, references;
    std::vector<CapInfo> infos;
};

// Parses and checks documents against the schema; one per server, shared
// by the request threads (the schema is read-only once built).
class CapReader {
  public:
    CapReader();
    ~CapReader();
    CapReader(const CapReader&) = delete;
    CapReader& operator=(const CapReader&) = delete;
    // false with the reason in `error` (the first fault the parser or the schema found).
    bool Read(const std::string& bytes, CapDocument& out, std::string& error) const;
    // Schema check only, for documents this server writes.
    bool Valid(const std::string& bytes, std::string& error) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// CAP times carry an offset ("2003-06-11T22:39:00-07:00"); ours are written in UTC as "-00:00".
bool ParseCapTime(const std::string& text, Time& out);
std::string CapTime(Time t);

// The info block an alert is made from: French if there is one, else the first.
const CapInfo* ChosenInfo(const CapDocument& doc);

// What a document asks for, once the rules have been applied.
struct CapDecision {
    enum Kind { Create, Cancel, Ignore, Refuse } kind = Refuse;
    int status = 422;       // for Refuse
    std::string reason;     // why nothing is sent, or why refused
    Alert alert;            // Create: fields and target set
    bool exercise = false;
    bool replaceUnsupported = false;
    // Update and Cancel: (sender, identifier) of the documents they replace.
    std::vector<CapPair> references;
    const CapInfo* info = nullptr;
};
CapDecision DecideCap(const CapDocument& doc, const CapConfig& config, const Groups& groups, Time now);

// What is kept of a document an alert came from, for writing it out again.
struct CapOrigin {
    bool exercise = false;
    std::string urgency = "Unknown", severity = "Unknown", certainty = "Unknown", category = "Other",
                event;
};

std::string CapIdentifier(const std::string& sender, std::int64_t alertId);
// One alert as a CAP 1.2 document; a cancelled alert is a Cancel of its own Alert.
std::string WriteCap(const Alert& alert, const CapOrigin& origin, const std::string& sender);
// An Atom feed whose entries carry each alert's CAP document as their content.
std::string WriteCapFeed(const std::vector<std::pair<Alert, CapOrigin>>& alerts, const std::string& sender,
                         const std::string& selfUrl, Time now);

} // namespace nvserver
