// nivaxel-server: the alert server daemon and its command line. See
// README.md beside this file.
#include "Api.h"
#include "ApiJson.h"
#include "ClusterListener.h"
#include "ConsoleLink.h"
#include "DataDirLock.h"
#include "Directory.h"
#include "Http.h"
#include "Integrations.h"
#include "LedgerEntry.h"
#include "Prepared.h"
#include "Scheduler.h"
#include "Store.h"
#include "Webhooks.h"
#include "Workstations.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace nvserver;
using nlohmann::json;

const char kUsage[] =
    "usage:\n"
    "  nivaxel-server serve --data DIR [--database postgresql://...] [--port 5088] [--bind ADDR]\n"
    "                       [--admin 127.0.0.1:5089]\n"
    "                       [--tls-cert FILE --tls-key FILE] [--probe-interval SECONDS]\n"
    "                       [--ack-grace-ms 1000] [--max-per-address 512]\n"
    "                       [--max-unidentified 1024] [--new-stations-per-minute 120]\n"
    "                       [--identify-seconds 15] [--proxy-from ADDR[,ADDR...]]\n"
    "                       [--offline-sweep-seconds 30]\n"
    "                       [--ldap FILE] [--integrations FILE]\n"
    "  nivaxel-server user add NAME --role admin|operator|viewer --data DIR|--database URI  (password on stdin)\n"
    "  nivaxel-server user role|password|remove NAME, user list --data DIR|--database URI\n"
    "  nivaxel-server token create --data DIR|--database URI --scope read|send|admin [--name NAME]\n"
    "  nivaxel-server token revoke --data DIR|--database URI ID\n"
    "  nivaxel-server token list --data DIR|--database URI\n"
    "  nivaxel-server send [CLIENT OPTIONS] [--to COMPUTER]... [--to-user USER]...\n"
    "                      [--to-group GROUP]... --author NAME --subject TEXT [--date TEXT]\n"
    "                      [--starts ISO-TIME] [--expires DURATION] [--replace-unsupported]\n"
    "                      [--no-resend-replaced] --line TEXT [--line TEXT]...\n"
    "  nivaxel-server list [CLIENT OPTIONS]\n"
    "  nivaxel-server alerts [CLIENT OPTIONS] [--search TEXT] [--limit N]\n"
    "  nivaxel-server receipts ID [CLIENT OPTIONS] [--csv]\n"
    "  nivaxel-server cancel ID [CLIENT OPTIONS]\n"
    "  nivaxel-server group list|set NAME [--computer C]... [--user U]...|delete NAME "
    "[CLIENT OPTIONS]\n"
    "  nivaxel-server directory sync|status [CLIENT OPTIONS]\n"
    "client options: --admin ADDR:PORT or https://HOST:PORT (default 127.0.0.1:5089),\n"
    "  --token TOKEN (default: $NIVAXEL_TOKEN), --ca FILE (to check an HTTPS server)\n"
    "send without --to, --to-user or --to-group goes to every station.\n"    "--database: PostgreSQL instead of the SQLite file in --data; its password comes from a\n"
    "  password file (passfile=FILE in the connection string, or PGPASSFILE), never the string.\n"
    "DURATION: seconds, or a number followed by s, m, h or d.\n";

int Usage(const std::string& problem) {
    if (!problem.empty())
        std::fprintf(stderr, "nivaxel-server: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

bool ParsePort(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > 65535)
        return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

// "ADDR:PORT", "ADDR" or ":PORT"; "localhost" stands for 127.0.0.1.
bool ParseAddress(const std::string& text, std::string& address, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    if (colon != std::string::npos && !ParsePort(text.substr(colon + 1), port))
        return false;
    if (host.empty() || host == "localhost")
        host = "127.0.0.1";
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1)
        return false;
    address = host;
    return true;
}

// "10.0.0.5,10.0.0.6": each an IPv4 address, as the kernel writes it back.
bool ParseAddressList(const std::string& text, std::vector<std::string>& out) {
    out.clear();
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        in_addr a{};
        char canonical[INET_ADDRSTRLEN] = {};
        if (inet_pton(AF_INET, text.substr(at, comma - at).c_str(), &a) != 1)
            return false;
        out.push_back(inet_ntop(AF_INET, &a, canonical, sizeof canonical));
        at = comma + 1;
    }
    return !out.empty();
}

// Digits only, at most `maxDigits` of them, and at least `least`.
bool ParseCount(const std::string& text, std::size_t maxDigits, int least, int& out) {
    if (text.empty() || text.size() > maxDigits ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(text.c_str()) < least)
        return false;
    out = std::atoi(text.c_str());
    return true;
}

bool IsLoopback(const std::string& address) {
    in_addr a{};
    return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool ParseDuration(const std::string& text, std::int64_t& seconds) {
    if (text.empty() || text.size() > 12)
        return false;
    std::string digits = text;
    std::int64_t unit = 1;
    switch (text.back()) {
    case 's': unit = 1; digits.pop_back(); break;
    case 'm': unit = 60; digits.pop_back(); break;
    case 'h': unit = 3600; digits.pop_back(); break;
    case 'd': unit = 86400; digits.pop_back(); break;
    default: break;
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    seconds = std::stoll(digits) * unit;
    return seconds > 0;
}

std::string DatabasePath(const std::string& dir) { return dir + "/nivaxel.db"; }

// PostgreSQL when --database names it, else the SQLite file of --data.
std::unique_ptr<Store> OpenStore(const std::string& dir, const std::string& database, int busyMs = 2000) {
    if (dir.empty() && database.empty()) {
        Usage("--data DIR or --database postgresql://... is required");
        return nullptr;
    }
    if (!database.empty() && !Store::IsPostgres(database)) {
        Usage("--database wants a postgresql:// URI or a key=value connection string");
        return nullptr;
    }
    try {
        if (!database.empty())
            return Store::Open(database);
        ::mkdir(dir.c_str(), 0700);
        return std::make_unique<Store>(DatabasePath(dir), busyMs);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "nivaxel-server: %s\n", e.what());
        return nullptr;
    }
}

class LoopDispatch : public Dispatch {
  public:
    explicit LoopDispatch(Workstations& w) : w_(w) {}
    int Deliver(const Alert& a) override { return w_.Deliver(a); }
    void Cancel(std::int64_t id) override { w_.Cancel(id); }
    void GroupsChanged() override { w_.GroupsChanged(); }
    void Settled(std::vector<std::pair<std::int64_t, std::int64_t>> pairs) override { w_.Settled(std::move(pairs)); }
    void Reclaim() override { w_.Reclaim(); }
    void ClaimedElsewhere(const std::string& node, std::vector<Station> stations) override {
        w_.ClaimedElsewhere(node, std::move(stations));
    }

  private:
    Workstations& w_;
};

Workstations* g_loop = nullptr;
void OnSignal(int) {
    if (g_loop)
        g_loop->Stop();
}

int Serve(const std::vector<std::string>& args) {
    WorkstationOptions wo;
    HttpOptions ho;
    std::string data, database, ldap, integrationsFile;
    int offlineSweepSeconds = 30;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size())
            return Usage("unknown or incomplete option: " + a);
        const std::string& v = args[++i];
        if (a == "--port") {
            if (!ParsePort(v, wo.port))
                return Usage("--port wants a number from 0 to 65535");
        } else if (a == "--bind") {
            wo.bindAddress = v;
        } else if (a == "--data") {
            data = v;
        } else if (a == "--database") {
            database = v;
        } else if (a == "--admin") {
            if (!ParseAddress(v, ho.address, ho.port))
                return Usage("--admin wants ADDR:PORT with an IPv4 address");
        } else if (a == "--ldap") {
            ldap = v;
        } else if (a == "--integrations") {
            integrationsFile = v;
        } else if (a == "--tls-cert") {
            ho.tlsCert = v;
        } else if (a == "--tls-key") {
            ho.tlsKey = v;
        } else if (a == "--ack-grace-ms") {
            if (!ParseCount(v, 6, 0, wo.ackGraceMs))
                return Usage("--ack-grace-ms wants a number of milliseconds");
        } else if (a == "--max-per-address" || a == "--max-unidentified" ||
                   a == "--new-stations-per-minute" || a == "--identify-seconds") {
            int& limit = a == "--max-per-address"    ? wo.maxPerAddress
                         : a == "--max-unidentified" ? wo.maxUnidentified
                         : a == "--identify-seconds" ? wo.identifySeconds
                                                     : wo.newStationsPerMinute;
            if (!ParseCount(v, 7, 1, limit))
                return Usage(a + " wants a number from 1 to 9999999");
        } else if (a == "--proxy-from") {
            if (!ParseAddressList(v, wo.proxyFrom))
                return Usage("--proxy-from wants IPv4 addresses separated by commas");
        } else if (a == "--offline-sweep-seconds") {
            if (!ParseCount(v, 5, 1, offlineSweepSeconds))
                return Usage("--offline-sweep-seconds wants a number from 1 to 99999");
        } else if (a == "--probe-interval") {
            if (!ParseCount(v, 6, 0, wo.probeIntervalSeconds))
                return Usage("--probe-interval wants a number of seconds");
        } else {
            return Usage("unknown or incomplete option: " + a);
        }
    }
    if (ho.tlsCert.empty() != ho.tlsKey.empty())
        return Usage("--tls-cert and --tls-key go together");
    if (!IsLoopback(ho.address) && ho.tlsCert.empty())
        return Usage("--admin must be a loopback address (127.x.x.x) unless --tls-cert and "
                     "--tls-key are given: tokens must not cross the network in clear");
    if (data.empty())
        return Usage("serve needs --data DIR");
    IntegrationConfig integrationConfig;
    std::string configError;
    if (!integrationsFile.empty() && !LoadIntegrationConfig(integrationsFile, integrationConfig, configError)) {
        std::fprintf(stderr, "nivaxel-server: %s\n", configError.c_str());
        return 2;
    }
    // Each workstation is a descriptor: take as many as the system allows.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    std::signal(SIGPIPE, SIG_IGN);

    ::mkdir(data.c_str(), 0700);
    const DataDirLock lock(data);
    if (!lock.held()) {
        std::fprintf(stderr, "nivaxel-server: %s\n", lock.error().c_str());
        return 1;
    }
    std::unique_ptr<Directory> directory;
    if (!ldap.empty()) {
        try {
            directory = std::make_unique<Directory>(LoadDirectoryConfig(ldap));
        } catch (const DirectoryError& e) {
            std::fprintf(stderr, "nivaxel-server: %s: %s\n", ldap.c_str(), e.what());
            return 1;
        }
    }
    auto store = OpenStore(data, database);
    // The workstation loop has a connection of its own that never waits
    // long for a lock: what it cannot write now it writes next turn.
    auto loopStore = OpenStore(data, database, 50);
    // Its ledger is written by a thread of its own, which may wait longer.
    auto writerStore = OpenStore(data, database, 500);
    if (!store || !loopStore || !writerStore)
        return 1;
    EventHub hub;
    Workstations loop(wo, *loopStore, hub, writerStore.get());
    if (!loop.Start())
        return 1;
    LoopDispatch dispatch(loop);
    Api api(*store, hub, dispatch);
    // Thousands of ledger rows after the answer, on a connection that keeps
    // the API's free meanwhile.
    auto entryStore = OpenStore(data, database);
    if (!entryStore)
        return 1;
    LedgerEntry entry(*entryStore);
    api.SetLedgerEntry([&entry](std::int64_t id) { entry.Add(id); });
    // On a shared database, what the other nodes accept reaches this one's stations.
    std::unique_ptr<Store> clusterStore;
    std::unique_ptr<ClusterListener> cluster;
    if (!database.empty()) {
        clusterStore = OpenStore(data, database);
        if (!clusterStore)
            return 1;
        cluster = std::make_unique<ClusterListener>(database, *clusterStore, dispatch, hub,
                                                    std::chrono::seconds(offlineSweepSeconds));
        cluster->Start();
    }
    if (directory) {
        auto snapshot = [d = directory.get()] { return d->Snapshot(); };
        store->SetDirectoryGroups(snapshot);
        loopStore->SetDirectoryGroups(snapshot);
        api.SetDirectory(directory.get());
        // Each sync's groups reach the delivery loop; a failure keeps the last good ones.
        directory->Start([&loop](std::shared_ptr<const Groups>) { loop.GroupsChanged(); });
    }
    // Other systems' alerts in, and word back out; the webhooks have their own
    // store connection so that a slow queue never waits on the API's.
    auto hookStore = OpenStore(data, database);
    if (!hookStore)
        return 1;
    if (directory)
        hookStore->SetDirectoryGroups([d = directory.get()] { return d->Snapshot(); });
    Webhooks webhooks(integrationConfig.webhooks, *hookStore, hub);
    Integrations integrations(integrationConfig, *store, api);
    integrations.Attach();
    Prepared prepared(*store, api);
    prepared.Attach();
    Scheduler scheduler(*store, api);
    scheduler.Start();
    api.SetCreatedHook([&](const Alert&, const json& alert) { webhooks.Notify("alert.created", alert); });
    webhooks.Start();
    auto console = ConsoleLink::Open(data, database, *store, !ho.tlsCert.empty());
    if (!console)
        return 1;
    console->Attach(api, ho);
    if (directory)
        console->UseDirectory(*directory);
    Http http(ho, api, hub);
    if (!http.Start())
        return 1;
    g_loop = &loop;
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    Workstations::Event("listening", "\"port\":" + std::to_string(loop.Port()) +
                                         ",\"admin\":" + Dump(ho.address + ":" + std::to_string(http.Port())) +
                                         ",\"tls\":" + (ho.tlsCert.empty() ? "false" : "true") +
                                         ",\"probe_interval\":" + std::to_string(wo.probeIntervalSeconds));
    Workstations::WriteEvents();
    std::thread httpThread([&] { http.Run(); });
    const int rc = loop.Run();
    if (cluster)
        cluster->Stop();
    http.Stop();
    httpThread.join();
    if (directory)
        directory->Stop();
    scheduler.Stop();
    webhooks.Stop();
    entry.Stop();
    g_loop = nullptr;
    Workstations::Event("stopped", "");
    Workstations::WriteEvents();
    return rc;
}

int Token(const std::vector<std::string>& args) {
    if (args.empty())
        return Usage("token wants create, revoke or list");
    const std::string verb = args[0];
    std::string data, database, scope, name, id;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--data" && i + 1 < args.size())
            data = args[++i];
        else if (a == "--database" && i + 1 < args.size())
            database = args[++i];
        else if (a == "--scope" && i + 1 < args.size())
            scope = args[++i];
        else if (a == "--name" && i + 1 < args.size())
            name = args[++i];
        else if (verb == "revoke" && id.empty() && a.rfind("--", 0) != 0)
            id = a;
        else
            return Usage("unknown or incomplete option: " + a);
    }
    if (verb != "create" && verb != "revoke" && verb != "list")
        return Usage("token wants create, revoke or list");
    Scope s;
    if (verb == "create" && !ParseScope(scope, s))
        return Usage("token create needs --scope read, send or admin");
    if (verb == "revoke" && (id.empty() || id.find_first_not_of("0123456789") != std::string::npos))
        return Usage("token revoke needs the token's id (see token list)");
    auto store = OpenStore(data, database);
    if (!store)
        return 1;
    try {
        if (verb == "create") {
            std::int64_t tokenId = 0;
            const std::string token = store->CreateToken(scope, name, tokenId);
            store->Audit({Now(), "local administrator", "create token",
                          "token " + std::to_string(tokenId) + " (" + scope + ")", "command line"});
            std::printf("%s\n", token.c_str());
        } else if (verb == "revoke") {
            if (!store->RevokeToken(std::stoll(id))) {
                std::fprintf(stderr, "nivaxel-server: no token %s\n", id.c_str());
                return 1;
            }
            store->Audit({Now(), "local administrator", "revoke token", "token " + id, "command line"});
            std::printf("revoked token %s\n", id.c_str());
        } else {
            for (const TokenInfo& t : store->ListTokens())
                std::printf("%lld\t%s\t%s\t%s\n", static_cast<long long>(t.id), t.scope.c_str(),
                            IsoTime(t.createdAt).c_str(), t.name.c_str());
        }
    } catch (const StoreError& e) {
        std::fprintf(stderr, "nivaxel-server: %s\n", e.what());
        return 1;
    }
    return 0;
}

// ---- the commands that go through the API --------------------------------

struct ClientOptions {
    std::string admin = "127.0.0.1:5089";
    std::string token, ca;
};

// Takes the client options out of args; false (after a usage message) on a bad one.
bool TakeClientOptions(std::vector<std::string>& args, ClientOptions& o, int& rc) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--admin" || a == "--token" || a == "--ca") && i + 1 < args.size()) {
            (a == "--admin" ? o.admin : a == "--token" ? o.token : o.ca) = args[++i];
        } else {
            rest.push_back(a);
        }
    }
    args = rest;
    if (o.token.empty())
        if (const char* env = std::getenv("NIVAXEL_TOKEN"))
            o.token = env;
    if (o.token.empty()) {
        std::fprintf(stderr, "nivaxel-server: no token: give --token TOKEN or set NIVAXEL_TOKEN "
                             "(make one with: nivaxel-server token create --data DIR --scope send)\n");
        rc = 2;
        return false;
    }
    return true;
}

struct Reply {
    int status = 0;
    std::string body;
};

// One request to the API; on failure prints why and returns false.
bool Call(const ClientOptions& o, const std::string& method, const std::string& path,
          const std::string& body, Reply& reply) {
    std::string base = o.admin;
    const bool tls = base.rfind("https://", 0) == 0;
    if (!tls && base.rfind("http://", 0) != 0)
        base = "http://" + base;
    std::unique_ptr<httplib::Client> client;
    try {
        client = std::make_unique<httplib::Client>(base);
    } catch (const std::exception&) {
        std::fprintf(stderr, "nivaxel-server: bad --admin address: %s\n", o.admin.c_str());
        return false;
    }
    if (!client->is_valid()) {
        std::fprintf(stderr, "nivaxel-server: bad --admin address: %s\n", o.admin.c_str());
        return false;
    }
    if (tls) {
        if (!o.ca.empty())
            client->set_ca_cert_path(o.ca.c_str());
        client->enable_server_certificate_verification(true);
    }
    client->set_connection_timeout(10, 0);
    client->set_read_timeout(60, 0);
    const httplib::Headers headers = {{"Authorization", "Bearer " + o.token}};
    httplib::Result res = method == "GET"    ? client->Get(path, headers)
                          : method == "POST" ? client->Post(path, headers, body, "application/json")
                          : method == "PUT"  ? client->Put(path, headers, body, "application/json")
                                             : client->Delete(path, headers);
    if (!res) {
        std::fprintf(stderr, "nivaxel-server: no answer from %s: %s\n", o.admin.c_str(),
                     httplib::to_string(res.error()).c_str());
        return false;
    }
    reply.status = res->status;
    reply.body = res->body;
    if (res->status >= 300) {
        const json j = json::parse(res->body, nullptr, false);
        const std::string msg = j.is_object() && j.contains("error") && j["error"].is_string()
                                    ? j["error"].get<std::string>()
                                    : res->body;
        std::fprintf(stderr, "nivaxel-server: refused (%d): %s\n", res->status, msg.c_str());
        return false;
    }
    return true;
}

int Send(std::vector<std::string> args) {
    ClientOptions o;
    int rc = 0;
    json body = {{"lines", json::array()}};
    std::vector<std::string> computers, users, groups;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--replace-unsupported") {
            body["unsupported"] = "replace";
            continue;
        }
        if (a == "--no-resend-replaced") {
            body["resend_replaced"] = false;
            continue;
        }
        if (a == "--admin" || a == "--token" || a == "--ca") {
            if (i + 1 >= args.size())
                return Usage("option without value: " + a);
            (a == "--admin" ? o.admin : a == "--token" ? o.token : o.ca) = args[++i];
            continue;
        }
        if (i + 1 >= args.size())
            return Usage("option without value: " + a);
        const std::string& v = args[++i];
        if (a == "--to")
            computers.push_back(v);
        else if (a == "--to-user")
            users.push_back(v);
        else if (a == "--to-group")
            groups.push_back(v);
        else if (a == "--author" || a == "--subject" || a == "--date")
            body[a.substr(2)] = v;
        else if (a == "--starts")
            body["starts_at"] = v;
        else if (a == "--line")
            body["lines"].push_back(v);
        else if (a == "--expires") {
            std::int64_t s;
            if (!ParseDuration(v, s))
                return Usage("--expires wants a duration such as 3600, 90m, 12h or 2d");
            body["expires_in"] = s;
        } else
            return Usage("unknown option: " + a);
    }
    if (!body.contains("author") || !body.contains("subject") || body["lines"].empty() ||
        body["author"] == "" || body["subject"] == "")
        return Usage("send needs --author, --subject and at least one --line");
    std::vector<std::string> none;
    if (!TakeClientOptions(none, o, rc))
        return rc;
    if (computers.empty() && users.empty() && groups.empty())
        body["everyone"] = true;
    body["computers"] = computers;
    body["users"] = users;
    body["groups"] = groups;
    Reply reply;
    if (!Call(o, "POST", "/api/alerts", Dump(body), reply))
        return 1;
    const json j = json::parse(reply.body, nullptr, false);
    if (!j.is_object() || !j.contains("id")) {
        std::fprintf(stderr, "nivaxel-server: unreadable answer: %s\n", reply.body.c_str());
        return 1;
    }
    const long long sent = j.value("sent_now", 0LL);
    // The count comes first on its line, the id alone on the last one.
    std::printf("sent to %lld station%s now, %s\n%lld\n", sent, sent == 1 ? "" : "s",
                j.value("state", std::string()).c_str(), j["id"].get<long long>());
    return 0;
}

int Simple(const std::string& command, std::vector<std::string> args) {
    ClientOptions o;
    int rc = 0;
    if (!TakeClientOptions(args, o, rc))
        return rc;
    Reply reply;
    if (command == "list") {
        if (!args.empty())
            return Usage("unknown option: " + args[0]);
        // Page by page: the API gives at most 10,000 stations per request.
        json all = json::array();
        for (std::int64_t total = -1; total < 0 || static_cast<std::int64_t>(all.size()) < total;) {
            if (!Call(o, "GET", "/api/stations?limit=10000&offset=" + std::to_string(all.size()), "", reply))
                return 1;
            json page = json::parse(reply.body);
            total = page["total"].get<std::int64_t>();
            if (page["stations"].empty())
                break; // fewer than announced: the list shrank meanwhile
            for (json& st : page["stations"])
                all.push_back(std::move(st));
        }
        std::printf("%s\n", all.dump(1).c_str());
        return 0;
    }
    if (command == "alerts") {
        std::string query = "/api/alerts?limit=50";
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--search" && i + 1 < args.size())
                query += "&q=" + httplib::detail::encode_query_param(args[++i]);
            else if (args[i] == "--limit" && i + 1 < args.size())
                query += "&limit=" + httplib::detail::encode_query_param(args[++i]);
            else
                return Usage("unknown or incomplete option: " + args[i]);
        }
        if (!Call(o, "GET", query, "", reply))
            return 1;
        std::printf("id\tstate\tcreated_at\tacknowledged\tsent\tqueued\tsubject\n");
        const json parsed = json::parse(reply.body);
        for (const json& a : parsed["alerts"])
            std::printf("%lld\t%s\t%s\t%lld\t%lld\t%lld\t%s\n", a["id"].get<long long>(),
                        a["state"].get<std::string>().c_str(), a["created_at"].get<std::string>().c_str(),
                        a["counts"]["acknowledged"].get<long long>(), a["counts"]["sent"].get<long long>(),
                        a["counts"]["queued"].get<long long>(), a["subject"].get<std::string>().c_str());
        return 0;
    }
    if (command == "receipts" || command == "cancel") {
        bool csv = false;
        std::string id;
        for (const std::string& a : args) {
            if (a == "--csv" && command == "receipts")
                csv = true;
            else if (id.empty() && a.find_first_not_of("0123456789") == std::string::npos && !a.empty())
                id = a;
            else
                return Usage("unknown option: " + a);
        }
        if (id.empty())
            return Usage(command + " needs an alert id");
        if (command == "cancel") {
            if (!Call(o, "POST", "/api/alerts/" + id + "/cancel", "{}", reply))
                return 1;
            std::printf("cancelled alert %s\n", id.c_str());
            return 0;
        }
        if (!Call(o, "GET", "/api/alerts/" + id + (csv ? "/receipts.csv" : ""), "", reply))
            return 1;
        if (csv) {
            std::string text;
            text.reserve(reply.body.size());
            for (std::size_t i = 0; i < reply.body.size(); ++i)
                if (!(reply.body[i] == '\r' && i + 1 < reply.body.size() && reply.body[i + 1] == '\n'))
                    text += reply.body[i];
            std::fwrite(text.data(), 1, text.size(), stdout);
            return 0;
        }
        const json parsed = json::parse(reply.body);
        for (const json& r : parsed["receipts"])
            std::printf("%s\t%s\t%s\t%s\t%s\n", r["computer"].get<std::string>().c_str(),
                        r["user"].get<std::string>().c_str(), r["state"].get<std::string>().c_str(),
                        r["first_sent_at"].is_string() ? r["first_sent_at"].get<std::string>().c_str() : "",
                        r["acknowledged_at"].is_string() ? r["acknowledged_at"].get<std::string>().c_str() : "");
        return 0;
    }
    if (command == "directory") {
        if (args.size() != 1 || (args[0] != "sync" && args[0] != "status"))
            return Usage("directory wants sync or status");
        const bool sync = args[0] == "sync";
        if (!Call(o, sync ? "POST" : "GET", sync ? "/api/directory/sync" : "/api/directory", sync ? "{}" : "",
                  reply))
            return 1;
        const json st = json::parse(reply.body);
        std::printf("users: %s, computers: %s, groups: %s, memberships: %s, last success: %s%s%s\n",
                    st["users"].dump().c_str(), st["computers"].dump().c_str(), st["groups"].dump().c_str(),
                    st["memberships"].dump().c_str(),
                    st["last_success"].is_string() ? st["last_success"].get<std::string>().c_str() : "never",
                    st["error"].is_string() ? ", error: " : "",
                    st["error"].is_string() ? st["error"].get<std::string>().c_str() : "");
        return 0;
    }
    // group
    if (args.empty())
        return Usage("group wants list, set NAME or delete NAME");
    const std::string verb = args[0];
    if (verb == "list" && args.size() == 1) {
        if (!Call(o, "GET", "/api/groups", "", reply))
            return 1;
        const json parsed = json::parse(reply.body);
        for (const json& g : parsed["groups"])
            if (g.value("source", "server") == "directory")
                std::printf("%s\tdirectory: %s computers, %s users\n", g["name"].get<std::string>().c_str(),
                            g["computer_count"].dump().c_str(), g["user_count"].dump().c_str());
            else
                std::printf("%s\tcomputers: %s\tusers: %s\n", g["name"].get<std::string>().c_str(),
                            g["computers"].dump().c_str(), g["users"].dump().c_str());
        return 0;
    }
    if ((verb == "set" || verb == "delete") && args.size() >= 2) {
        const std::string path = "/api/groups/" + httplib::detail::encode_query_param(args[1]);
        if (verb == "delete") {
            if (args.size() != 2)
                return Usage("unknown option: " + args[2]);
            if (!Call(o, "DELETE", path, "", reply))
                return 1;
            std::printf("deleted group %s\n", args[1].c_str());
            return 0;
        }
        json body = {{"computers", json::array()}, {"users", json::array()}};
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--computer" && i + 1 < args.size())
                body["computers"].push_back(args[++i]);
            else if (args[i] == "--user" && i + 1 < args.size())
                body["users"].push_back(args[++i]);
            else
                return Usage("unknown or incomplete option: " + args[i]);
        }
        if (!Call(o, "PUT", path, Dump(body), reply))
            return 1;
        std::printf("group %s: %zu computers, %zu users\n", args[1].c_str(), body["computers"].size(),
                    body["users"].size());
        return 0;
    }
    return Usage("group wants list, set NAME or delete NAME");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage("");
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "serve")
        return Serve(args);
    if (command == "token")
        return Token(args);
    if (command == "user") {
        nvconsole::StdinPasswordInput input;
        UserCommandStore host;
        return nvconsole::RunUserCommand(args, input, std::cout, std::cerr, host);
    }
    if (command == "send")
        return Send(args);
    if (command == "list" || command == "alerts" || command == "receipts" || command == "cancel" ||
        command == "group" || command == "directory")
        return Simple(command, args);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return Usage("unknown command: " + command);
}
