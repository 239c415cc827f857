#include "ConsoleLink.h"

#include <sys/stat.h>

#include <iostream>

namespace nvserver {

nvconsole::RequestInfo ConsoleRequest(const ApiRequest& r) {
    return {r.method,           r.path,
            r.remoteAddress,    r.Header("cookie"),
            r.Header("origin"), r.Header("sec-fetch-site"),
            r.Header("host"),   r.Header("x-csrf-token")};
}

std::unique_ptr<nvconsole::UserStore> OpenUsers(const std::string& location) {
    // A sign-in waits for a moment's writer rather than failing.
    return std::make_unique<nvconsole::UserStore>(Store::IsPostgres(location) ? db::OpenPostgres(location)
                                                                                : db::OpenSqlite(location, 5000));
}

namespace {
std::string Location(const std::string& dataDir, const std::string& database) {
    return database.empty() ? dataDir + "/" + nvconsole::kDatabaseFile : database;
}
} // namespace

std::unique_ptr<ConsoleLink> ConsoleLink::Open(const std::string& dataDir, const std::string& database,
                                               Store& store, bool tls) {
    auto link = std::make_unique<ConsoleLink>();
    try {
        link->users_ = OpenUsers(Location(dataDir, database));
    } catch (const db::DbError& e) {
        std::cerr << "nivaxel-server: console accounts: " << e.what() << "\n";
        return nullptr;
    }
    link->console_ = std::make_unique<nvconsole::Console>(
        *link->users_,
        [&store](const std::string& who, const std::string& action, const std::string& detail,
                 const std::string& address) {
            try {
                store.Audit({Now(), who, action, detail, address});
            } catch (const StoreError& e) {
                std::cerr << "nivaxel-server: audit line lost: " << e.what() << "\n";
            }
        },
        tls);
    return link;
}

std::unique_ptr<nvconsole::UserStore> UserCommandStore::Open(const std::string& dataDir, const std::string& database,
                                                             std::ostream& err) {
    if (!database.empty() && !Store::IsPostgres(database)) {
        err << "nivaxel-server: --database wants a postgresql:// URI or a key=value connection string\n";
        return nullptr;
    }
    if (database.empty())
        ::mkdir(dataDir.c_str(), 0700); // the first user may come before the server's first start
    const std::string location = Location(dataDir, database);
    try {
        store_ = Store::Open(location, 5000);
        return OpenUsers(location);
    } catch (const db::DbError& e) {
        err << "nivaxel-server: " << e.what() << "\n";
        return nullptr;
    }
}

bool UserCommandStore::Audit(const std::string& action, const std::string& detail) {
    try {
        store_->Audit({Now(), "local administrator", action, detail, "command line"});
        return true;
    } catch (const StoreError& e) {
        std::cerr << "nivaxel-server: " << e.what() << "\n";
        return false;
    }
}

namespace {
nvconsole::DirectoryVerdict Verdict(const SignIn& r) {
    nvconsole::DirectoryVerdict v;
    v.ok = r.ok;
    v.passwordOk = r.passwordOk;
    v.unreachable = r.unreachable;
    v.error = r.error;
    if (const auto role = nvconsole::ParseRole(r.role))
        v.role = *role;
    return v;
}
} // namespace

void ConsoleLink::UseDirectory(const Directory& directory) {
    nvconsole::DirectoryHooks hooks;
    hooks.signIn = [&directory](const std::string& name, const std::string& password) {
        return Verdict(directory.Authenticate(name, password));
    };
    hooks.currentRole = [&directory](const std::string& name) {
        SignIn r = directory.CurrentRole(name);
        r.ok = r.error.empty() && !r.role.empty();
        return Verdict(r);
    };
    hooks.recheckEvery = std::chrono::seconds(directory.Config().roleCheckSeconds);
    console_->SetDirectory(std::move(hooks));
}

void ConsoleLink::Attach(Api& api, HttpOptions& http) {
    api.SetSessionChecker([this](const ApiRequest& r) {
        const nvconsole::SessionAuth a = console_->Authenticate(ConsoleRequest(r));
        SessionCheck c;
        if (a.outcome == nvconsole::SessionAuth::NoSession)
            return c;
        if (a.outcome == nvconsole::SessionAuth::Refused) {
            c.outcome = SessionCheck::Refused;
            c.status = a.status;
            c.error = a.error;
            return c;
        }
        c.outcome = SessionCheck::Ok;
        c.who.name = a.principal.name;
        c.who.kind = "session";
        ParseScope(a.principal.scope, c.who.scope);
        return c;
    });
    http.extraRoutes = [this](const ApiRequest& r) -> std::optional<ApiResponse> {
        auto out = console_->Handle({r.method, r.path, r.body, r.remoteAddress, r.headers});
        if (!out)
            return std::nullopt;
        return ApiResponse{out->status, std::move(out->contentType), std::move(out->body), 0,
                           std::move(out->headers)};
    };
    http.bodyLimit = &nvconsole::Console::BodyLimit;
}

} // namespace nvserver
