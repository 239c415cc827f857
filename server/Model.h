// What the server keeps: alerts with their targets, stations, groups, and
// the receipt ledger. Names are UTF-8; times are Unix seconds (UTC).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace nvserver {

using Time = std::int64_t;

// A group read from the organisation's directory: its members, nested
// groups expanded, as keys of DirectoryNames.h, and the domains that may
// qualify a station's names. Shared, as it may hold thousands of names.
struct DirectoryMembers {
    std::string name; // the group's cn, as the directory spells it
    std::unordered_set<std::string> computers, users;
    std::vector<std::string> domains;
};

struct Group {
    std::vector<std::string> computers, users;
    std::shared_ptr<const DirectoryMembers> directory; // null for the server's own groups
};
// Keyed by the lower-cased name.
using Groups = std::map<std::string, Group>;

struct StationName {
    std::string computer, user;
};

struct Target {
    bool everyone = false;
    std::vector<std::string> computers, users, groups;
    // Exact stations (a computer with its user), for a resend to those who had not read.
    std::vector<StationName> stations;
    bool Empty() const {
        return !everyone && computers.empty() && users.empty() && groups.empty() && stations.empty();
    }
};

// Windows names ignore case: the capitals of Windows-1252 are folded (the
// client's names arrive in Windows-1252 and are compared as UTF-8).
std::string NameKey(std::string name);
// Lower case without accents, so that a search for "evacuation" finds "Évacuation".
std::string SearchFold(const std::string& text);
bool Matches(const Target& target, const Groups& groups, const std::string& computer,
             const std::string& user);
// How a station matches: not at all (nullopt), by its own names or a server
// group (""), or through a directory group (that group's name).
std::optional<std::string> MatchVia(const Target& target, const Groups& groups,
                                    const std::string& computer, const std::string& user);

struct Alert {
    std::int64_t id = 0;
    std::string author, subject, date;
    std::vector<std::string> lines;
    Target target;
    Time createdAt = 0, startsAt = 0, expiresAt = 0;
    std::optional<Time> cancelledAt;
    std::string createdBy;
    bool resendReplaced = true;
    bool exercise = false;
    std::int64_t follows = 0; // the alert this one was sent again for, or 0
    std::string text; // what the client receives: Windows-1252, CR LF lines

    // "active", "scheduled", "expired" or "cancelled".
    std::string State(Time now) const;
    bool Deliverable(Time now) const { return State(now) == "active"; }
};

struct Station {
    std::int64_t id = 0;
    std::string computer, user, address;
    Time firstSeen = 0, lastSeen = 0;
    bool online = false;
    std::int64_t alertsSent = 0, acknowledged = 0;
};

// One line of an alert's ledger. A station enters it ("queued") when it
// matches while the alert is live; then "sent", "replaced", "acknowledged".
// Once the alert has expired or is cancelled, what was not acknowledged
// reads "expired" or "cancelled"; "not reached" is a named computer or user
// that no station in the ledger is.
struct Receipt {
    std::string computer, user, state;
    std::string sentAddress, acknowledgedAddress; // of the connection, for the record
    std::string directoryGroup; // the directory group it was reached through, or ""
    Time firstSentAt = 0, lastSentAt = 0, acknowledgedAt = 0;
    std::int64_t sentCount = 0;
};

inline const char* const kReceiptStates[] = {"queued",      "sent",    "acknowledged", "replaced",
                                             "not reached", "expired", "cancelled"};

std::string IsoTime(Time t);
// "2026-12-09T10:42:00Z" (seconds and Z optional); false on anything else.
bool ParseIsoTime(const std::string& text, Time& out);
Time Now();

} // namespace nvserver
