#include "Cap.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace nvserver {

const char kCapNamespace[] = "urn:oasis:names:tc:emergency:cap:1.2";

namespace {

struct ErrorSink {
    std::string first;
};

#if LIBXML_VERSION >= 21200
void Collect(void* sink, const xmlError* e)
#else
void Collect(void* sink, xmlErrorPtr e)
#endif
{
    auto* s = static_cast<ErrorSink*>(sink);
    if (s->first.empty() && e && e->message) {
        s->first = e->message;
        while (!s->first.empty() && (s->first.back() == '\n' || s->first.back() == ' '))
            s->first.pop_back();
        if (e->line > 0)
            s->first += " (line " + std::to_string(e->line) + ")";
    }
}

void Silent(void*, const char*, ...) {}

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

std::string Content(xmlNode* n) {
    xmlChar* c = xmlNodeGetContent(n);
    std::string out = c ? reinterpret_cast<const char*>(c) : "";
    xmlFree(c);
    return out;
}

bool Is(xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST name) && n->ns &&
           xmlStrEqual(n->ns->href, BAD_CAST kCapNamespace);
}

CapPair Pair(xmlNode* n) {
    CapPair p;
    for (xmlNode* c = n->children; c; c = c->next) {
        if (Is(c, "valueName"))
            p.first = Content(c);
        else if (Is(c, "value"))
            p.second = Content(c);
    }
    return p;
}

CapInfo ReadInfo(xmlNode* info) {
    CapInfo i;
    std::pair<const char*, std::string*> texts[] = {
        {"language", &i.language},   {"event", &i.event},           {"urgency", &i.urgency},
        {"severity", &i.severity},   {"certainty", &i.certainty},   {"senderName", &i.senderName},
        {"headline", &i.headline},   {"description", &i.description}, {"instruction", &i.instruction},
        {"effective", &i.effective}, {"onset", &i.onset},           {"expires", &i.expires}};
    for (xmlNode* c = info->children; c; c = c->next) {
        for (auto& [name, field] : texts)
            if (Is(c, name))
                *field = Content(c);
        if (Is(c, "category"))
            i.categories.push_back(Content(c));
        else if (Is(c, "parameter"))
            i.parameters.push_back(Pair(c));
        else if (Is(c, "area")) {
            CapArea a;
            for (xmlNode* d = c->children; d; d = d->next) {
                if (Is(d, "areaDesc"))
                    a.desc = Content(d);
                else if (Is(d, "geocode"))
                    a.geocodes.push_back(Pair(d));
            }
            i.areas.push_back(a);
        }
    }
    return i;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool HasDeclarations(const std::string& bytes) {
    // CAP has no DTD: any declaration is at best useless and at worst an entity bomb.
    return bytes.find("<!DOCTYPE") != std::string::npos || bytes.find("<!ENTITY") != std::string::npos;
}

} // namespace

struct CapReader::Impl {
    xmlSchemaPtr schema = nullptr;

    // Parses without network, DTD or entity substitution; the schema then decides.
    DocPtr Parse(const std::string& bytes, std::string& error) const {
        if (bytes.size() > kMaxCapBytes) {
            error = "document above 1 MiB";
            return nullptr;
        }
        if (HasDeclarations(bytes)) {
            error = "DOCTYPE and entity declarations are not accepted in a CAP document";
            return nullptr;
        }
        xmlSetGenericErrorFunc(nullptr, Silent);
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        if (!ctxt) {
            error = "out of memory";
            return nullptr;
        }
        DocPtr doc(xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), "cap.xml", nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
        if (!doc) {
            const xmlError* e = xmlCtxtGetLastError(ctxt);
            error = "malformed XML: ";
            ErrorSink sink;
            Collect(&sink, const_cast<xmlError*>(e));
            error += sink.first.empty() ? "unreadable" : sink.first;
        } else if (doc->intSubset || doc->extSubset) {
            error = "DOCTYPE and entity declarations are not accepted in a CAP document";
            doc.reset();
        }
        xmlFreeParserCtxt(ctxt);
        return doc;
    }

    bool Validate(xmlDoc* doc, std::string& error) const {
        xmlSchemaValidCtxtPtr v = xmlSchemaNewValidCtxt(schema);
        if (!v) {
            error = "out of memory";
            return false;
        }
        ErrorSink sink;
        xmlSchemaSetValidStructuredErrors(v, Collect, &sink);
        const int rc = xmlSchemaValidateDoc(v, doc);
        xmlSchemaFreeValidCtxt(v);
        if (rc != 0)
            error = "not a valid CAP 1.2 alert: " + (sink.first.empty() ? std::string("schema check failed") : sink.first);
        return rc == 0;
    }
};

CapReader::CapReader() : impl_(std::make_unique<Impl>()) {
    xmlInitParser();
    xmlSchemaParserCtxtPtr p = xmlSchemaNewMemParserCtxt(kCapSchema, static_cast<int>(std::char_traits<char>::length(kCapSchema)));
    if (p) {
        impl_->schema = xmlSchemaParse(p);
        xmlSchemaFreeParserCtxt(p);
    }
    if (!impl_->schema)
        throw std::runtime_error("the built-in CAP 1.2 schema does not load");
}

CapReader::~CapReader() {
    if (impl_->schema)
        xmlSchemaFree(impl_->schema);
}

bool CapReader::Valid(const std::string& bytes, std::string& error) const {
    DocPtr doc = impl_->Parse(bytes, error);
    return doc && impl_->Validate(doc.get(), error);
}

bool CapReader::Read(const std::string& bytes, CapDocument& out, std::string& error) const {
    DocPtr doc = impl_->Parse(bytes, error);
    if (!doc || !impl_->Validate(doc.get(), error))
        return false;
    out = {};
    std::pair<const char*, std::string*> texts[] = {
        {"identifier", &out.identifier}, {"sender", &out.sender},   {"sent", &out.sent},
        {"status", &out.status},         {"msgType", &out.msgType}, {"scope", &out.scope},
        {"addresses", &out.addresses},   {"references", &out.references}};
    for (xmlNode* c = xmlDocGetRootElement(doc.get())->children; c; c = c->next) {
        for (auto& [name, field] : texts)
            if (Is(c, name))
                *field = Content(c);
        if (Is(c, "info"))
            out.infos.push_back(ReadInfo(c));
    }
    return true;
}

bool ParseCapTime(const std::string& text, Time& out) {
    int y, mo, d, h, mi, s, oh, om, used = 0;
    char sign = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &sign, &oh,
                    &om, &used) != 9 ||
        used != static_cast<int>(text.size()) || (sign != '+' && sign != '-'))
        return false;
    char base[32];
    std::snprintf(base, sizeof base, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, mo, d, h, mi, s);
    Time t;
    if (!ParseIsoTime(base, t) || oh > 23 || om > 59)
        return false;
    const Time offset = (oh * 3600 + om * 60) * (sign == '-' ? -1 : 1);
    out = t - offset;
    return true;
}

std::string CapTime(Time t) {
    std::string iso = IsoTime(t); // ...Z
    if (!iso.empty() && iso.back() == 'Z')
        iso.pop_back();
    return iso + "-00:00";
}

const CapInfo* ChosenInfo(const CapDocument& doc) {
    for (const CapInfo& i : doc.infos) {
        const std::string lang = Lower(i.language);
        if (lang == "fr" || lang.rfind("fr-", 0) == 0)
            return &i;
    }
    return doc.infos.empty() ? nullptr : &doc.infos.front();
}

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto b = line.find_first_not_of(" \t\r");
        if (b != std::string::npos)
            out.push_back(line.substr(b, line.find_last_not_of(" \t\r") - b + 1));
    }
    return out;
}

// `addresses`: space-separated, with double quotes around names that hold spaces.
std::vector<std::string> Addresses(const std::string& text) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else
            cur += c;
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

// "sender,identifier,sent" entries, space-separated.
std::vector<CapPair> References(const std::string& text) {
    std::vector<CapPair> out;
    std::stringstream in(text);
    for (std::string entry; in >> entry;) {
        const auto a = entry.find(',');
        const auto b = a == std::string::npos ? a : entry.find(',', a + 1);
        if (b != std::string::npos)
            out.emplace_back(entry.substr(0, a), entry.substr(a + 1, b - a - 1));
    }
    return out;
}

std::string Joined(const std::set<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : ", ") + w;
    return out;
}

bool PairMatches(const CapPair& p, const std::string& match) {
    return NameKey(p.first + "=" + p.second) == NameKey(match);
}

// The groups the administrator's mappings give, or the server groups the
// areas name when there are no mappings. Empty when nothing matches.
std::vector<std::string> MappedGroups(const CapDocument& doc, const CapInfo& info, const CapConfig& config,
                                      const Groups& groups, std::string& error) {
    std::vector<std::string> out;
    auto add = [&](const std::string& g) {
        for (const std::string& have : out)
            if (NameKey(have) == NameKey(g))
                return;
        out.push_back(g);
    };
    if (config.mappings.empty()) {
        for (const CapArea& a : info.areas)
            if (groups.count(NameKey(a.desc)))
                add(a.desc);
        return out;
    }
    for (const CapMapping& m : config.mappings) {
        bool hit = false;
        const std::string key = NameKey(m.match);
        for (const CapArea& a : info.areas) {
            if (m.kind == CapMapping::Area && NameKey(a.desc) == key)
                hit = true;
            if (m.kind == CapMapping::Geocode)
                for (const CapPair& g : a.geocodes)
                    hit = hit || PairMatches(g, m.match);
        }
        if (m.kind == CapMapping::Parameter)
            for (const CapPair& p : info.parameters)
                hit = hit || PairMatches(p, m.match);
        if (m.kind == CapMapping::Address)
            for (const std::string& a : Addresses(doc.addresses))
                hit = hit || NameKey(a) == key;
        if (!hit)
            continue;
        for (const std::string& g : m.groups) {
            if (!groups.count(NameKey(g))) {
                error = "the mapping for \"" + m.match + "\" names group " + g + ", which does not exist";
                return {};
            }
            add(g);
        }
    }
    return out;
}

std::string DateOf(const std::string& capTime) {
    // The sender's own wall-clock time, as the client shows a date: dd/mm/yyyy hh:mm.
    if (capTime.size() < 16)
        return capTime;
    return capTime.substr(8, 2) + "/" + capTime.substr(5, 2) + "/" + capTime.substr(0, 4) + " " +
           capTime.substr(11, 5);
}

} // namespace

CapDecision DecideCap(const CapDocument& doc, const CapConfig& config, const Groups& groups, Time now) {
    CapDecision d;
    d.replaceUnsupported = config.replaceUnsupported;
    auto refuse = [&](int status, const std::string& why) {
        d.kind = CapDecision::Refuse;
        d.status = status;
        d.reason = why;
        return d;
    };
    auto ignore = [&](const std::string& why) {
        d.kind = CapDecision::Ignore;
        d.reason = why;
        return d;
    };
    if (doc.status == "System" || doc.status == "Draft")
        return ignore("status " + doc.status + ": not meant for people, nothing sent");
    if (doc.msgType == "Ack" || doc.msgType == "Error")
        return ignore("msgType " + doc.msgType + ": nothing to send");
    d.exercise = doc.status == "Exercise" || doc.status == "Test";
    if (doc.msgType == "Update" || doc.msgType == "Cancel") {
        d.references = References(doc.references);
        if (d.references.empty())
            return refuse(422, doc.msgType + " without references: it must name the document it " +
                                   (doc.msgType == "Cancel" ? "cancels" : "updates"));
    }
    if (doc.msgType == "Cancel") {
        d.kind = CapDecision::Cancel;
        return d;
    }
    d.info = ChosenInfo(doc);
    if (!d.info)
        return ignore("no info block: nothing to send");
    const CapInfo& info = *d.info;
    // The rules: what is not urgent, severe and certain enough is not sent.
    auto rule = [&](const char* what, const std::string& value, const std::set<std::string>& allowed,
                    const char* key) {
        if (allowed.count(value))
            return true;
        d.kind = CapDecision::Ignore;
        d.reason = std::string("not sent: ") + what + " " + value + " is not one of " + Joined(allowed) + " (" +
                   key + ")";
        return false;
    };
    if (!rule("urgency", info.urgency, config.urgency, "cap.urgency") ||
        !rule("severity", info.severity, config.severity, "cap.severity") ||
        !rule("certainty", info.certainty, config.certainty, "cap.certainty"))
        return d;

    Alert& a = d.alert;
    a.author = !info.senderName.empty() ? info.senderName : doc.sender;
    a.subject = !info.headline.empty() ? info.headline : info.event;
    if (d.exercise)
        a.subject = "EXERCICE - " + a.subject;
    a.date = DateOf(doc.sent);
    a.lines = Lines(info.description);
    for (const std::string& l : Lines(info.instruction))
        a.lines.push_back(l);
    if (a.lines.empty())
        a.lines.push_back(info.event);
    a.startsAt = now;
    Time t = 0;
    if (!info.effective.empty() && ParseCapTime(info.effective, t))
        a.startsAt = std::max(now, t);
    else if (!info.onset.empty() && ParseCapTime(info.onset, t))
        a.startsAt = std::max(now, t);
    a.expiresAt = a.startsAt + config.defaultExpiry;
    if (!info.expires.empty() && ParseCapTime(info.expires, t)) {
        if (t <= now)
            return refuse(422, "already expired (" + info.expires + "): nothing sent");
        a.expiresAt = t;
    }
    if (a.expiresAt <= a.startsAt)
        return refuse(422, "expires before it takes effect: nothing sent");

    if (d.exercise && !config.exerciseToTarget) {
        if (config.testGroup.empty())
            return refuse(422, "status " + doc.status +
                                   ": an exercise goes only to the test group, and none is configured "
                                   "(cap.test_group)");
        if (!groups.count(NameKey(config.testGroup)))
            return refuse(422, "the test group " + config.testGroup + " does not exist");
        a.target.groups = {config.testGroup};
    } else {
        std::string error;
        a.target.groups = MappedGroups(doc, info, config, groups, error);
        if (!error.empty())
            return refuse(422, error);
        if (a.target.groups.empty()) {
            for (const std::string& g : config.defaultGroups)
                if (groups.count(NameKey(g)))
                    a.target.groups.push_back(g);
            if (a.target.groups.empty()) {
                std::string areas;
                for (const CapArea& ar : info.areas)
                    areas += (areas.empty() ? "" : ", ") + ar.desc;
                return refuse(422, "no group matches this document (areas: " + (areas.empty() ? "none" : areas) +
                                       "); nothing sent. Name a server group in areaDesc, or configure "
                                       "cap.map.* or cap.default_groups");
            }
        }
    }
    d.kind = CapDecision::Create;
    return d;
}

// ---- writing ------------------------------------------------------------

namespace {

// XML text: escaped, control characters and broken UTF-8 left out.
std::string Esc(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default:
                if (c >= 0x20 || c == '\n' || c == '\t')
                    out += static_cast<char>(c);
            }
            continue;
        }
        const int n = c >= 0xF5 ? -1 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
        bool ok = n > 0;
        for (int k = 1; ok && k <= n; ++k)
            ok = i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (ok) {
            out.append(s, i, static_cast<std::size_t>(n) + 1);
            i += static_cast<std::size_t>(n);
        } else {
            out += '?';
        }
    }
    return out;
}

std::string El(const char* name, const std::string& text) {
    return std::string("<") + name + ">" + Esc(text) + "</" + name + ">";
}

std::string AreaDesc(const Target& t) {
    if (t.everyone)
        return "tous les postes";
    std::string out;
    auto add = [&](const char* kind, const std::vector<std::string>& names) {
        for (const std::string& n : names)
            out += (out.empty() ? "" : ", ") + std::string(kind) + " " + n;
    };
    add("groupe", t.groups);
    add("poste", t.computers);
    add("utilisateur", t.users);
    return out.empty() ? "aucun" : out;
}

std::string CapBody(const Alert& a, const CapOrigin& o, const std::string& sender, bool withDeclaration) {
    const bool cancelled = a.cancelledAt.has_value();
    const std::string id = CapIdentifier(sender, a.id);
    std::string x = withDeclaration ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" : "";
    x += std::string("<alert xmlns=\"") + kCapNamespace + "\">";
    x += El("identifier", cancelled ? id + "-cancel" : id);
    x += El("sender", sender);
    x += El("sent", CapTime(cancelled ? *a.cancelledAt : a.createdAt));
    x += El("status", o.exercise ? "Exercise" : "Actual");
    x += El("msgType", cancelled ? "Cancel" : "Alert");
    x += El("scope", "Public");
    if (cancelled)
        x += El("references", sender + "," + id + "," + CapTime(a.createdAt));
    x += "<info>";
    x += El("language", "fr-FR");
    x += El("category", o.category);
    x += El("event", o.event.empty() ? a.subject : o.event);
    x += El("urgency", o.urgency) + El("severity", o.severity) + El("certainty", o.certainty);
    x += El("effective", CapTime(a.startsAt)) + El("expires", CapTime(a.expiresAt));
    x += El("senderName", a.author) + El("headline", a.subject);
    std::string description;
    for (const std::string& l : a.lines)
        description += (description.empty() ? "" : "\n") + l;
    x += El("description", description);
    x += "<area>" + El("areaDesc", AreaDesc(a.target)) + "</area>";
    x += "</info></alert>";
    return x;
}

} // namespace

std::string CapIdentifier(const std::string& sender, std::int64_t alertId) {
    std::string host = sender.substr(sender.find('@') + 1);
    for (char& c : host)
        if (c == ' ' || c == ',' || c == '<' || c == '&')
            c = '-';
    return "nivaxel-" + std::to_string(alertId) + "@" + host;
}

std::string WriteCap(const Alert& alert, const CapOrigin& origin, const std::string& sender) {
    return CapBody(alert, origin, sender, true) + "\n";
}

std::string WriteCapFeed(const std::vector<std::pair<Alert, CapOrigin>>& alerts, const std::string& sender,
                         const std::string& selfUrl, Time now) {
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed xmlns=\"http://www.w3.org/2005/Atom\">";
    x += El("id", "urn:nivaxel:" + Esc(sender) + ":cap-feed");
    x += El("title", "Alertes Nivaxel");
    Time updated = 0;
    for (const auto& [a, o] : alerts)
        updated = std::max({updated, a.createdAt, a.cancelledAt.value_or(0)});
    x += El("updated", IsoTime(updated ? updated : now));
    x += "<author>" + El("name", sender) + "</author>";
    x += "<link rel=\"self\" href=\"" + Esc(selfUrl) + "\"/>";
    for (const auto& [a, o] : alerts) {
        x += "<entry>";
        x += El("id", "urn:nivaxel:" + CapIdentifier(sender, a.id));
        x += El("title", a.subject);
        x += El("updated", IsoTime(a.cancelledAt.value_or(a.createdAt)));
        x += "<link rel=\"alternate\" type=\"application/cap+xml\" href=\"" + Esc(std::to_string(a.id)) + "\"/>";
        x += "<content type=\"application/cap+xml\">" + CapBody(a, o, sender, false) + "</content>";
        x += "</entry>";
    }
    return x + "</feed>\n";
}

} // namespace nvserver
