#include "console/ConsoleHttp.h"

#include "console/Assets.h"
#include "console/UserCommand.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace nvconsole {

using nlohmann::json;

namespace {

constexpr std::chrono::minutes kIdle{30};
constexpr std::chrono::hours kAbsolute{12};

void Error(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(json{{"error", message}}.dump(), "application/json");
}

void Json(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

std::optional<json> Body(const httplib::Request& req, httplib::Response& res) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        Error(res, 400, "the body must be a JSON object");
        return std::nullopt;
    }
    return body;
}

std::string Text(const json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void Harden(httplib::Response& res) {
    res.set_header(
        "Content-Security-Policy",
        "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-cache");
}

void ServeAsset(std::string_view path, httplib::Response& res) {
    const Asset* a = FindAsset(path);
    if (!a) {
        Error(res, 404, "no such page");
        return;
    }
    Harden(res);
    res.set_content(reinterpret_cast<const char*>(a->data), a->size, std::string(a->type).c_str());
}

} // namespace

Console::Console(sqlite3* db, AuditFn audit, bool tls, std::function<Clock::time_point()> now)
    : db_(db), audit_(std::move(audit)), tls_(tls), sessions_(kIdle, kAbsolute),
      now_(std::move(now)), dummyHash_(HashPassword(RandomHex(16))) {
    if (!audit_)
        audit_ = [](auto&&...) {};
}

void Console::Mount(httplib::Server& server) {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        ServeAsset("index.html", res);
    });
    server.Get(R"(/console/([A-Za-z0-9._-]+))",
               [](const httplib::Request& req, httplib::Response& res) {
                   ServeAsset(req.matches[1].str(), res);
               });
    server.Post("/api/session",
                [this](const httplib::Request& q, httplib::Response& r) { SignIn(q, r); });
    server.Get("/api/session",
               [this](const httplib::Request& q, httplib::Response& r) { Current(q, r); });
    server.Delete("/api/session",
                  [this](const httplib::Request& q, httplib::Response& r) { SignOut(q, r); });
    server.Get("/api/users",
               [this](const httplib::Request& q, httplib::Response& r) { Users(q, r); });
    server.Post("/api/users",
                [this](const httplib::Request& q, httplib::Response& r) { ChangeUser(q, r); });
    server.Put(R"(/api/users/([^/]+))",
               [this](const httplib::Request& q, httplib::Response& r) { ChangeUser(q, r); });
    server.Delete(R"(/api/users/([^/]+))",
                  [this](const httplib::Request& q, httplib::Response& r) { ChangeUser(q, r); });
}

SessionAuth Console::Authenticate(const httplib::Request& req) {
    return Authenticate(
        RequestInfo{req.method, req.path, req.remote_addr, req.get_header_value("Cookie"),
                    req.get_header_value("Origin"), req.get_header_value("Sec-Fetch-Site"),
                    req.get_header_value("Host"), req.get_header_value("X-CSRF-Token")});
}

SessionAuth Console::Authenticate(const RequestInfo& req) {
    SessionAuth auth;
    const std::string id = SessionIdFromCookies(req.cookie);
    if (id.empty())
        return auth;
    auth.outcome = SessionAuth::Refused;
    auto session = sessions_.Use(id, now_());
    if (!session) {
        auth.status = 401;
        auth.error = "session expired or unknown; sign in again";
        return auth;
    }
    const std::string why = RefuseCrossSite(
        {req.method, req.origin, req.fetchSite, req.host, req.csrf, tls_}, *session);
    if (!why.empty()) {
        audit_(session->name, "request refused", why + ": " + req.method + " " + req.path,
               req.remoteAddress);
        auth.status = 403;
        auth.error = why;
        return auth;
    }
    if (session->directory && !RecheckRole(*session, req.remoteAddress)) {
        auth.status = 401;
        auth.error = "your directory groups no longer give access to the console";
        return auth;
    }
    auth.outcome = SessionAuth::Ok;
    auth.principal = {session->name, session->role, RoleScope(session->role)};
    return auth;
}

bool Console::RecheckRole(Session& session, const std::string& address) {
    const auto now = now_();
    if (!directory_.currentRole || now - session.roleChecked < directory_.recheckEvery)
        return true;
    const DirectoryVerdict v = directory_.currentRole(session.name);
    if (v.unreachable) {
        // Keep the role it had until the directory answers again; local
        // accounts are the way in when it stays down.
        sessions_.SetRole(session.id, session.role, now);
        return true;
    }
    if (!v.ok) {
        sessions_.Remove(session.id);
        audit_(session.name, "session ended", v.error, address);
        return false;
    }
    if (v.role != session.role)
        audit_(session.name, "role changed", std::string(RoleName(session.role)) + " -> " + RoleName(v.role),
               address);
    sessions_.SetRole(session.id, v.role, now);
    session.role = v.role;
    return true;
}

void Console::DirectorySignIn(const httplib::Request& req, httplib::Response& res, const std::string& name,
                              const std::string& password, Clock::time_point now) {
    const DirectoryVerdict v = directory_.signIn(name, password);
    if (v.unreachable) {
        audit_(name, "sign-in failed", v.error, req.remote_addr);
        return Error(res, 503, v.error + "; local accounts can still sign in");
    }
    if (!v.ok) {
        throttle_.Failed(name, req.remote_addr, now);
        audit_(name, "sign-in failed", "directory: " + v.error, req.remote_addr);
        return v.passwordOk ? Error(res, 403, v.error) : Error(res, 401, "wrong name or password");
    }
    throttle_.Succeeded(name, req.remote_addr);
    const Session s = sessions_.Create(name, v.role, now, true);
    audit_(name, "sign-in", std::string(RoleName(v.role)) + " (directory)", req.remote_addr);
    res.set_header("Set-Cookie",
                   SessionCookie(s.id, std::chrono::duration_cast<std::chrono::seconds>(kAbsolute), tls_));
    Json(res, 200,
         {{"name", s.name}, {"role", RoleName(s.role)}, {"scope", RoleScope(s.role)}, {"csrf", s.csrf},
          {"source", "directory"}});
}

void Console::SignIn(const httplib::Request& req, httplib::Response& res) {
    // A sign-in from another site would plant that site's session in the browser.
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() &&
        origin != (tls_ ? "https://" : "http://") + req.get_header_value("Host")) {
        audit_("", "sign-in refused", "request from another origin: " + origin, req.remote_addr);
        return Error(res, 403, "request from another origin refused");
    }
    auto body = Body(req, res);
    if (!body)
        return;
    const std::string name = Text(*body, "name"), password = Text(*body, "password");
    const auto now = now_();
    const auto wait = throttle_.Wait(name, req.remote_addr, now);
    if (wait.count() > 0) {
        audit_(name, "sign-in refused",
               "too many failures, wait " + std::to_string(wait.count()) + " ms", req.remote_addr);
        res.set_header("Retry-After", std::to_string((wait.count() + 999) / 1000));
        return Error(res, 429, "too many failed sign-ins; try again later");
    }
    auto user = IsValidUserName(name) ? UserStore(db_).Find(name) : std::nullopt;
    // Local accounts first: the first administrator, and the way in when the directory is down.
    if (!user && directory_.signIn)
        return DirectorySignIn(req, res, name, password, now);
    const bool good = user ? VerifyPassword(user->passwordHash, password)
                           : (VerifyPassword(dummyHash_, password), false);
    if (!good) {
        throttle_.Failed(name, req.remote_addr, now);
        audit_(name, "sign-in failed", user ? "wrong password" : "unknown user", req.remote_addr);
        return Error(res, 401, "wrong name or password");
    }
    throttle_.Succeeded(name, req.remote_addr);
    const Session s = sessions_.Create(user->name, user->role, now);
    audit_(user->name, "sign-in", RoleName(user->role), req.remote_addr);
    res.set_header(
        "Set-Cookie",
        SessionCookie(s.id, std::chrono::duration_cast<std::chrono::seconds>(kAbsolute), tls_));
    Json(res, 200,
         {{"name", s.name},
          {"role", RoleName(s.role)},
          {"scope", RoleScope(s.role)},
          {"csrf", s.csrf}});
}

void Console::Current(const httplib::Request& req, httplib::Response& res) {
    const std::string id = SessionIdFromCookies(req.get_header_value("Cookie"));
    auto session = id.empty() ? std::nullopt : sessions_.Use(id, now_());
    if (!session)
        return Error(res, 401, "not signed in");
    Json(res, 200,
         {{"name", session->name},
          {"role", RoleName(session->role)},
          {"scope", RoleScope(session->role)},
          {"csrf", session->csrf}});
}

void Console::SignOut(const httplib::Request& req, httplib::Response& res) {
    SessionAuth auth = Authenticate(req);
    if (auth.outcome == SessionAuth::NoSession)
        return Error(res, 401, "not signed in");
    if (auth.outcome == SessionAuth::Refused)
        return Error(res, auth.status, auth.error);
    sessions_.Remove(SessionIdFromCookies(req.get_header_value("Cookie")));
    audit_(auth.principal.name, "sign-out", "", req.remote_addr);
    res.set_header("Set-Cookie", ClearedSessionCookie(tls_));
    Json(res, 200, json::object());
}

std::optional<SessionPrincipal> Console::RequireAdmin(const httplib::Request& req,
                                                      httplib::Response& res) {
    SessionAuth auth = Authenticate(req);
    if (auth.outcome == SessionAuth::NoSession) {
        Error(res, 401, "not signed in");
        return std::nullopt;
    }
    if (auth.outcome == SessionAuth::Refused) {
        Error(res, auth.status, auth.error);
        return std::nullopt;
    }
    if (auth.principal.role != Role::Admin) {
        audit_(auth.principal.name, "request refused",
               "admin scope needed: " + req.method + " " + req.path, req.remote_addr);
        Error(res, 403, "this needs the admin role");
        return std::nullopt;
    }
    return auth.principal;
}

void Console::Users(const httplib::Request& req, httplib::Response& res) {
    if (!RequireAdmin(req, res))
        return;
    json users = json::array();
    for (const User& u : UserStore(db_).List())
        users.push_back({{"name", u.name}, {"role", RoleName(u.role)}});
    Json(res, 200, {{"users", users}});
}

void Console::ChangeUser(const httplib::Request& req, httplib::Response& res) {
    auto admin = RequireAdmin(req, res);
    if (!admin)
        return;
    UserStore users(db_);
    const std::string target = req.matches.size() > 1 ? req.matches[1].str() : std::string();
    auto done = [&](UserResult r, const std::string& name, const std::string& action,
                    const std::string& detail) {
        switch (r) {
        case UserResult::Ok:
            audit_(admin->name, action, name + (detail.empty() ? "" : " " + detail),
                   req.remote_addr);
            return Json(res, req.method == "POST" ? 201 : 200, {{"name", name}});
        case UserResult::Exists:
            return Error(res, 409, "user " + name + " already exists");
        case UserResult::NotFound:
            return Error(res, 404, "no user " + name);
        case UserResult::BadName:
            return Error(res, 400, "bad user name (1 to 64 letters, digits, . _ @ -)");
        case UserResult::StoreFailed:
            return Error(res, 503, "the database refused the change");
        case UserResult::LastAdmin:
            return Error(res, 409, "last administrator: " + name +
                                       " is the only admin; make another user admin first");
        }
    };
    if (req.method == "DELETE") {
        if (target == admin->name)
            return Error(res, 400, "you cannot remove yourself");
        const UserResult r = users.Remove(target);
        if (r == UserResult::Ok)
            sessions_.RemoveUser(target);
        return done(r, target, "user removed", "");
    }
    auto body = Body(req, res);
    if (!body)
        return;
    const std::string name = req.method == "POST" ? Text(*body, "name") : target;
    const std::string roleText = Text(*body, "role"), password = Text(*body, "password");
    std::optional<Role> role = ParseRole(roleText);
    if ((req.method == "POST" || !roleText.empty()) && !role)
        return Error(res, 400, "role must be admin, operator or viewer");
    if ((req.method == "POST" || !password.empty()) && password.size() < kMinPasswordLength)
        return Error(res, 400,
                     "password too short (at least " + std::to_string(kMinPasswordLength) +
                         " characters)");
    if (!IsValidUserName(name))
        return done(UserResult::BadName, name, "", "");
    const std::string hash = password.empty() ? std::string() : HashPassword(password);
    if (!password.empty() && hash.empty())
        return Error(res, 503, "hashing the password failed");
    if (req.method == "POST")
        return done(users.Add({name, *role, hash}), name, "user added", RoleName(*role));
    if (!role && password.empty())
        return Error(res, 400, "nothing to change: give role or password");
    if (role) {
        const UserResult r = users.SetRole(name, *role);
        if (r != UserResult::Ok || password.empty()) {
            if (r == UserResult::Ok)
                sessions_.RemoveUser(name);
            return done(r, name, "user role changed", RoleName(*role));
        }
    }
    const UserResult r = users.SetPassword(name, hash);
    if (r == UserResult::Ok)
        sessions_.RemoveUser(name);
    done(r, name, role ? "user role and password changed" : "user password changed",
         role ? RoleName(*role) : "");
}

} // namespace nvconsole
