#include "console/ConsoleHttp.h"

#include "console/Assets.h"
#include "console/UserCommand.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace nvconsole {

using nlohmann::json;

namespace {

constexpr std::chrono::minutes kIdle{30};
constexpr std::chrono::hours kAbsolute{12};

WebResponse Error(int status, const std::string& message) {
    // Names and paths are checked before they reach a message, and bytes
    // that are not UTF-8 are replaced rather than thrown on.
    return {status,
            "application/json",
            json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace),
            {}};
}

WebResponse Json(int status, const json& body) {
    return {
        status, "application/json", body.dump(-1, ' ', false, json::error_handler_t::replace), {}};
}

std::optional<json> Body(const WebRequest& req) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        return std::nullopt;
    return body;
}

std::string Text(const json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void Harden(WebResponse& res) {
    res.headers.insert(
        res.headers.end(),
        {{"Content-Security-Policy",
          "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'self'"},
         {"X-Content-Type-Options", "nosniff"},
         {"X-Frame-Options", "DENY"},
         {"Referrer-Policy", "no-referrer"},
         {"Cache-Control", "no-cache"}});
}

WebResponse ServeAsset(std::string_view path) {
    const Asset* a = FindAsset(path);
    if (!a)
        return Error(404, "no such page");
    WebResponse res{200,
                    std::string(a->type),
                    std::string(reinterpret_cast<const char*>(a->data), a->size),
                    {}};
    Harden(res);
    return res;
}

bool IsAssetName(const std::string& name) {
    return !name.empty() &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789._-") == std::string::npos;
}

// A directory login (alice, CORP\\alice, alice@corp.example): bounded, no control characters.
bool IsDirectoryName(const std::string& name) {
    return !name.empty() && name.size() <= 256 &&
           std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// 1, 2, 4, 8...: repeated failures leave a few lines, not one each.
bool WorthALine(int count) {
    return count > 0 && (count & (count - 1)) == 0;
}

} // namespace

Console::Console(UserStore& users, AuditFn audit, bool tls, std::function<Clock::time_point()> now)
    : users_(users), audit_(std::move(audit)), tls_(tls), sessions_(kIdle, kAbsolute),
      now_(std::move(now)), dummyHash_(HashPassword(RandomHex(16))) {
    if (!audit_)
        audit_ = [](auto&&...) {};
}

std::string WebRequest::Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

std::size_t Console::BodyLimit(const std::string& method, const std::string& path) {
    return method == "POST" && path == "/api/session" ? kMaxSignInBody
                                                      : static_cast<std::size_t>(-1);
}

std::optional<WebResponse> Console::Handle(const WebRequest& req) {
    try {
        return Route(req);
    } catch (const nvserver::db::DbError& e) {
        return Error(503, std::string(kAccountsUnavailable) + ": " + e.what());
    }
}

std::optional<WebResponse> Console::Route(const WebRequest& req) {
    const std::string& m = req.method;
    const std::string& p = req.path;
    if (m == "GET" && p == "/")
        return ServeAsset("index.html");
    if (m == "GET" && p.rfind("/console/", 0) == 0) {
        const std::string name = p.substr(9);
        return IsAssetName(name) ? std::optional(ServeAsset(name)) : std::nullopt;
    }
    if (p == "/api/session") {
        if (m == "POST")
            return SignIn(req);
        if (m == "GET")
            return Current(req);
        if (m == "DELETE")
            return SignOut(req);
        return std::nullopt;
    }
    if (p == "/api/users" && (m == "GET" || m == "POST"))
        return m == "GET" ? Users(req) : ChangeUser(req, "");
    if (p.rfind("/api/users/", 0) == 0 && (m == "PUT" || m == "DELETE")) {
        const std::string target = p.substr(11);
        if (!target.empty() && target.find('/') == std::string::npos)
            return ChangeUser(req, target);
    }
    return std::nullopt;
}

std::optional<Session> Console::LiveSession(const std::string& id, const std::string& address) {
    auto session = id.empty() ? std::nullopt : sessions_.Use(id, now_());
    if (!session)
        return std::nullopt;
    // The command line changes users in another process: ask the database each time.
    if (session->directory)
        return session; // its role is looked up in the directory, when due
    const auto user = users_.Find(session->name);
    if (user && user->role == session->role && user->passwordHash == session->stamp)
        return session;
    sessions_.Remove(id);
    audit_(session->name, "session ended",
           user ? "role or password changed since sign-in" : "user removed", address);
    return std::nullopt;
}

SessionAuth Console::Authenticate(const RequestInfo& req) {
    SessionAuth auth;
    const std::string id = SessionIdFromCookies(req.cookie);
    if (id.empty())
        return auth;
    auth.outcome = SessionAuth::Refused;
    std::optional<Session> session;
    try {
        session = LiveSession(id, req.remoteAddress);
    } catch (const nvserver::db::DbError& e) {
        // The session stays: the database coming back lets it on again.
        auth.status = 503;
        auth.error = std::string(kAccountsUnavailable) + ": " + e.what();
        return auth;
    }
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
        audit_(session.name, "role changed",
               std::string(RoleName(session.role)) + " -> " + RoleName(v.role), address);
    sessions_.SetRole(session.id, v.role, now);
    session.role = v.role;
    return true;
}

WebResponse Console::DirectorySignIn(const WebRequest& req, const std::string& name,
                                     const std::string& password) {
    const DirectoryVerdict v = directory_.signIn(name, password);
    if (v.unreachable) {
        throttle_.Abandon(name, req.remoteAddress);
        audit_(name, "sign-in failed", v.error, req.remoteAddress);
        return Error(503, v.error + "; local accounts can still sign in");
    }
    const auto now = now_();
    if (!v.ok) {
        const int failures = throttle_.Failed(name, req.remoteAddress, now);
        if (failures <= SignInThrottle::kFreeAttempts + 1 || WorthALine(failures))
            audit_(name, "sign-in failed", "directory: " + v.error, req.remoteAddress);
        return v.passwordOk ? Error(403, v.error) : Error(401, "wrong name or password");
    }
    throttle_.Succeeded(name, req.remoteAddress);
    const Session s = sessions_.Create(name, v.role, now, true);
    audit_(name, "sign-in", std::string(RoleName(v.role)) + " (directory)", req.remoteAddress);
    WebResponse res = Json(200, {{"name", s.name},
                                 {"role", RoleName(s.role)},
                                 {"scope", RoleScope(s.role)},
                                 {"csrf", s.csrf},
                                 {"source", "directory"}});
    res.headers.emplace_back(
        "Set-Cookie",
        SessionCookie(s.id, std::chrono::duration_cast<std::chrono::seconds>(kAbsolute), tls_));
    return res;
}

WebResponse Console::SignIn(const WebRequest& req) {
    // A sign-in from another site would plant that site's session in the browser.
    const std::string origin = req.Header("origin");
    if (!origin.empty() && origin != (tls_ ? "https://" : "http://") + req.Header("host")) {
        audit_("", "sign-in refused", "request from another origin", req.remoteAddress);
        return Error(403, "request from another origin refused");
    }
    // Nothing is written, counted or hashed for a request that cannot be a sign-in.
    if (req.body.size() > kMaxSignInBody)
        return Error(413, "request body too large");
    auto body = Body(req);
    if (!body)
        return Error(400, "the body must be a JSON object");
    const std::string name = Text(*body, "name"), password = Text(*body, "password");
    if (!IsValidUserName(name) && !(directory_.signIn && IsDirectoryName(name)))
        return Error(400, "bad user name (1 to 64 letters, digits, . _ @ -)");
    if (password.empty() || password.size() > kMaxPassword)
        return Error(400, "the password must have 1 to " + std::to_string(kMaxPassword) + " bytes");
    const auto now = now_();
    const auto admission = throttle_.Begin(name, req.remoteAddress, now);
    if (admission.wait.count() > 0) {
        if (WorthALine(admission.refusals))
            audit_(name, "sign-in refused",
                   "too many failures, wait " + std::to_string(admission.wait.count()) + " ms (" +
                       std::to_string(admission.refusals) + " refused so far)",
                   req.remoteAddress);
        WebResponse res = Error(429, "too many failed sign-ins; try again later");
        res.headers.emplace_back("Retry-After",
                                 std::to_string((admission.wait.count() + 999) / 1000));
        return res;
    }
    std::optional<User> user;
    try {
        user = IsValidUserName(name) ? users_.Find(name) : std::nullopt;
    } catch (const nvserver::db::DbError& e) {
        throttle_.Abandon(name, req.remoteAddress); // not a failure of the person's
        WebResponse res = Error(503, std::string(kAccountsUnavailable) + ": " + e.what());
        res.headers.emplace_back("Retry-After", "5");
        return res;
    }
    // Local accounts first: the first administrator, and the way in when the directory is down.
    if (!user && directory_.signIn)
        return DirectorySignIn(req, name, password);
    // Each check holds 64 MiB for a moment: only a few at once, and no
    // worker waits for a turn.
    if (!checks_.try_acquire()) {
        throttle_.Abandon(name, req.remoteAddress);
        WebResponse res = Error(503, "too many sign-ins at once; try again in a moment");
        res.headers.emplace_back("Retry-After", "1");
        return res;
    }
    const bool good = user ? VerifyPassword(user->passwordHash, password)
                           : (VerifyPassword(dummyHash_, password), false);
    checks_.release();
    if (!good) {
        // The wait runs from the failure, not from the start of a slow check.
        const int failures = throttle_.Failed(name, req.remoteAddress, now_());
        if (failures <= SignInThrottle::kFreeAttempts + 1 || WorthALine(failures))
            audit_(name, "sign-in failed",
                   std::string(user ? "wrong password" : "unknown user") +
                       (failures > 1 ? " (" + std::to_string(failures) + " in a row)" : ""),
                   req.remoteAddress);
        return Error(401, "wrong name or password");
    }
    throttle_.Succeeded(name, req.remoteAddress);
    const Session s = sessions_.Create(user->name, user->role, now, false, user->passwordHash);
    audit_(user->name, "sign-in", RoleName(user->role), req.remoteAddress);
    WebResponse res = Json(200, {{"name", s.name},
                                 {"role", RoleName(s.role)},
                                 {"scope", RoleScope(s.role)},
                                 {"csrf", s.csrf}});
    res.headers.emplace_back(
        "Set-Cookie",
        SessionCookie(s.id, std::chrono::duration_cast<std::chrono::seconds>(kAbsolute), tls_));
    return res;
}

WebResponse Console::Current(const WebRequest& req) {
    auto session = LiveSession(SessionIdFromCookies(req.Header("cookie")), req.remoteAddress);
    if (!session)
        return Error(401, "not signed in");
    return Json(200, {{"name", session->name},
                      {"role", RoleName(session->role)},
                      {"scope", RoleScope(session->role)},
                      {"csrf", session->csrf}});
}

namespace {

RequestInfo Info(const WebRequest& req) {
    return {req.method,           req.path,
            req.remoteAddress,    req.Header("cookie"),
            req.Header("origin"), req.Header("sec-fetch-site"),
            req.Header("host"),   req.Header("x-csrf-token")};
}

} // namespace

WebResponse Console::SignOut(const WebRequest& req) {
    SessionAuth auth = Authenticate(Info(req));
    if (auth.outcome == SessionAuth::NoSession)
        return Error(401, "not signed in");
    if (auth.outcome == SessionAuth::Refused)
        return Error(auth.status, auth.error);
    sessions_.Remove(SessionIdFromCookies(req.Header("cookie")));
    audit_(auth.principal.name, "sign-out", "", req.remoteAddress);
    WebResponse res = Json(200, json::object());
    res.headers.emplace_back("Set-Cookie", ClearedSessionCookie(tls_));
    return res;
}

std::optional<SessionPrincipal> Console::RequireAdmin(const WebRequest& req, WebResponse& refused) {
    SessionAuth auth = Authenticate(Info(req));
    if (auth.outcome == SessionAuth::NoSession) {
        refused = Error(401, "not signed in");
        return std::nullopt;
    }
    if (auth.outcome == SessionAuth::Refused) {
        refused = Error(auth.status, auth.error);
        return std::nullopt;
    }
    if (auth.principal.role != Role::Admin) {
        audit_(auth.principal.name, "request refused",
               "admin scope needed: " + req.method + " " + req.path, req.remoteAddress);
        refused = Error(403, "this needs the admin role");
        return std::nullopt;
    }
    return auth.principal;
}

WebResponse Console::Users(const WebRequest& req) {
    WebResponse refused;
    if (!RequireAdmin(req, refused))
        return refused;
    json users = json::array();
    for (const User& u : users_.List())
        users.push_back({{"name", u.name}, {"role", RoleName(u.role)}});
    return Json(200, {{"users", users}});
}

WebResponse Console::ChangeUser(const WebRequest& req, const std::string& target) {
    WebResponse refused;
    auto admin = RequireAdmin(req, refused);
    if (!admin)
        return refused;
    UserStore& users = users_;
    auto done = [&](UserResult r, const std::string& name, const std::string& action,
                    const std::string& detail) {
        switch (r) {
        case UserResult::Ok:
            audit_(admin->name, action, name + (detail.empty() ? "" : " " + detail),
                   req.remoteAddress);
            return Json(req.method == "POST" ? 201 : 200, {{"name", name}});
        case UserResult::Exists:
            return Error(409, "user " + name + " already exists");
        case UserResult::NotFound:
            return Error(404, "no user " + name);
        case UserResult::BadName:
            break;
        case UserResult::StoreFailed:
            return Error(503, "the database refused the change");
        case UserResult::LastAdmin:
            return Error(409, "last administrator: " + name +
                                  " is the only admin; make another user admin first");
        }
        return Error(400, "bad user name (1 to 64 letters, digits, . _ @ -)");
    };
    if (req.method != "POST" && !IsValidUserName(target))
        return done(UserResult::BadName, target, "", "");
    if (req.method == "DELETE") {
        if (target == admin->name)
            return Error(400, "you cannot remove yourself");
        const UserResult r = users.Remove(target);
        if (r == UserResult::Ok)
            sessions_.RemoveUser(target);
        return done(r, target, "user removed", "");
    }
    auto body = Body(req);
    if (!body)
        return Error(400, "the body must be a JSON object");
    const std::string name = req.method == "POST" ? Text(*body, "name") : target;
    const std::string roleText = Text(*body, "role"), password = Text(*body, "password");
    std::optional<Role> role = ParseRole(roleText);
    if ((req.method == "POST" || !roleText.empty()) && !role)
        return Error(400, "role must be admin, operator or viewer");
    if ((req.method == "POST" || !password.empty()) && password.size() < kMinPasswordLength)
        return Error(400, "password too short (at least " + std::to_string(kMinPasswordLength) +
                              " characters)");
    if (!IsValidUserName(name))
        return done(UserResult::BadName, name, "", "");
    const std::string hash = password.empty() ? std::string() : HashPassword(password);
    if (!password.empty() && hash.empty())
        return Error(503, "hashing the password failed");
    if (req.method == "POST")
        return done(users.Add({name, *role, hash}), name, "user added", RoleName(*role));
    if (!role && password.empty())
        return Error(400, "nothing to change: give role or password");
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
    return done(r, name, role ? "user role and password changed" : "user password changed",
                role ? RoleName(*role) : "");
}

} // namespace nvconsole
