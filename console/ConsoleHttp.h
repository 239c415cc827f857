// The console's HTTP side: the page and its assets, sign-in and sign-out,
// console users for admins, and the session half of request authentication.
#pragma once

#include "console/Sessions.h"

#include <functional>
#include <optional>
#include <string>

struct sqlite3;
namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace nvconsole {

// who, action, detail, address: one audit log line.
using AuditFn = std::function<void(const std::string&, const std::string&, const std::string&,
                                   const std::string&)>;

struct SessionPrincipal {
    std::string name;
    Role role = Role::Viewer;
    std::string scope; // read, send or admin
};

// What the session check reads of a request, whatever carried it.
struct RequestInfo {
    std::string method, path, remoteAddress;
    std::string cookie, origin, fetchSite, host, csrf; // header values, empty when absent
};

struct SessionAuth {
    enum Outcome { NoSession, Ok, Refused } outcome = NoSession;
    SessionPrincipal principal;
    int status = 0; // 401 or 403 when Refused
    std::string error;
};

// Sign-in by the organisation's directory, for names that are no local user.
struct DirectoryVerdict {
    bool ok = false;          // the person is who they say, with `role`
    bool passwordOk = false;  // ... or at least their password was right
    bool unreachable = false; // the directory could not answer
    Role role = Role::Viewer;
    std::string error;
};
struct DirectoryHooks {
    std::function<DirectoryVerdict(const std::string& name, const std::string& password)> signIn;
    std::function<DirectoryVerdict(const std::string& name)> currentRole;
    std::chrono::seconds recheckEvery{120};
};

class Console {
  public:
    // now: the clock of sessions and the throttle; tests hold it still.
    Console(sqlite3* db, AuditFn audit, bool tls,
            std::function<Clock::time_point()> now = Clock::now);
    // Adds "/", "/console/..." and "/api/session", "/api/users" to the server.
    void Mount(httplib::Server& server);
    // For the server's authentication: a request that carries the session
    // cookie is that session's user, and a change must also pass the
    // cross-site checks. NoSession lets the server try its tokens.
    SessionAuth Authenticate(const RequestInfo& request);
    SessionAuth Authenticate(const httplib::Request& request);

    SessionStore& Sessions() { return sessions_; }
    void SetDirectory(DirectoryHooks hooks) { directory_ = std::move(hooks); }
    SignInThrottle& Throttle() { return throttle_; }

  private:
    void SignIn(const httplib::Request& req, httplib::Response& res);
    void Current(const httplib::Request& req, httplib::Response& res);
    void SignOut(const httplib::Request& req, httplib::Response& res);
    void DirectorySignIn(const httplib::Request& req, httplib::Response& res, const std::string& name,
                         const std::string& password, Clock::time_point now);
    // A directory session's role, looked up again when due; false when it has none now.
    bool RecheckRole(Session& session, const std::string& address);
    void Users(const httplib::Request& req, httplib::Response& res);
    void ChangeUser(const httplib::Request& req, httplib::Response& res);
    std::optional<SessionPrincipal> RequireAdmin(const httplib::Request& req,
                                                 httplib::Response& res);

    sqlite3* db_;
    AuditFn audit_;
    bool tls_;
    SessionStore sessions_;
    SignInThrottle throttle_;
    std::function<Clock::time_point()> now_;
    DirectoryHooks directory_;
    std::string dummyHash_; // verified against when the user is unknown, to keep timing even
};

} // namespace nvconsole
