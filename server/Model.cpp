#include "Model.h"

#include "DirectoryNames.h"

#include <cstdio>
#include <ctime>

namespace nvserver {

std::string NameKey(std::string name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        char& c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        // Latin-1 capitals (U+00C0 to U+00DE but U+00D7), as Windows folds them.
        const auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
        if (static_cast<unsigned char>(c) == 0xC3 && next >= 0x80 && next <= 0x9E && next != 0x97)
            name[++i] = static_cast<char>(next + 0x20);
        // The others of Windows-1252: Š Œ Ž (U+0160, U+0152, U+017D) and
        // Ÿ (U+0178), whose small letter is ÿ (U+00FF).
        if (static_cast<unsigned char>(c) == 0xC5 && (next == 0xA0 || next == 0x92 || next == 0xBD))
            name[++i] = static_cast<char>(next + 1);
        else if (static_cast<unsigned char>(c) == 0xC5 && next == 0xB8)
            c = static_cast<char>(0xC3), name[++i] = static_cast<char>(0xBF);
    }
    return name;
}

std::string SearchFold(const std::string& text) {
    // U+00C0 to U+00FF, each without its accent; empty keeps the letter.
    static const char* const kLatin1[64] = {
        "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",
        "d", "n", "o", "o", "o", "o", "o", "", "o", "u", "u", "u", "u", "y", "", "ss",
        "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",
        "d", "n", "o", "o", "o", "o", "o", "", "o", "u", "u", "u", "u", "y", "", "y"};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        } else if ((c == 0xC3) && next >= 0x80 && next <= 0xBF && *kLatin1[next - 0x80]) {
            out += kLatin1[next - 0x80];
            ++i;
        } else if (c == 0xC5 && (next == 0x92 || next == 0x93)) { // OE ligature
            out += "oe";
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {
bool In(const std::vector<std::string>& names, const std::string& key) {
    for (const std::string& n : names)
        if (NameKey(n) == key)
            return true;
    return false;
}

bool InDirectoryGroup(const DirectoryMembers& g, const std::string& computer, const std::string& user) {
    const auto c = StationComputerKey(computer, g.domains);
    if (c && g.computers.count(*c))
        return true;
    const auto u = StationUserKey(user, g.domains);
    return u && g.users.count(*u);
}
} // namespace

std::optional<std::string> MatchVia(const Target& t, const Groups& groups,
                                    const std::string& computer, const std::string& user) {
    if (t.everyone)
        return "";
    const std::string c = NameKey(computer), u = NameKey(user);
    if (In(t.computers, c) || In(t.users, u))
        return "";
    for (const StationName& s : t.stations)
        if (NameKey(s.computer) == c && NameKey(s.user) == u)
            return "";
    // Named groups in the target's order: the first that holds the station says how.
    for (const std::string& name : t.groups) {
        const auto g = groups.find(NameKey(name));
        if (g == groups.end())
            continue;
        if (g->second.directory) {
            if (InDirectoryGroup(*g->second.directory, computer, user))
                return g->second.directory->name;
        } else if (In(g->second.computers, c) || In(g->second.users, u)) {
            return "";
        }
    }
    return std::nullopt;
}

bool Matches(const Target& t, const Groups& groups, const std::string& computer,
             const std::string& user) {
    return MatchVia(t, groups, computer, user).has_value();
}

std::string Alert::State(Time now) const {
    if (cancelledAt)
        return "cancelled";
    if (now >= expiresAt)
        return "expired";
    if (now < startsAt)
        return "scheduled";
    return "active";
}

std::string IsoTime(Time t) {
    char buf[32];
    std::tm tm{};
    const std::time_t tt = static_cast<std::time_t>(t);
    gmtime_r(&tt, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool ParseIsoTime(const std::string& text, Time& out) {
    int y, mo, d, h, mi, s = 0, used = 0;
    char z = 0;
    std::tm tm{};
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &y, &mo, &d, &h, &mi, &used) != 5 ||
        used != 16)
        return false;
    std::string rest = text.substr(16);
    if (rest.size() >= 3 && rest[0] == ':') {
        int n = 0;
        if (std::sscanf(rest.c_str(), ":%2d%n", &s, &n) != 1 || n != 3)
            return false;
        rest = rest.substr(3);
    }
    if (!(rest.empty() || (rest.size() == 1 && (z = rest[0]) == 'Z')))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1970)
        return false;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    out = static_cast<Time>(timegm(&tm));
    return true;
}

Time Now() { return static_cast<Time>(std::time(nullptr)); }

} // namespace nvserver
