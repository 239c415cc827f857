// The console's HTTP side: the page and its assets, sign-in and sign-out,
// console users for admins, and the session half of request authentication.
#pragma once

#include "console/Sessions.h"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <semaphore>
#include <string>
#include <utility>
#include <vector>

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

// A request and its answer, whatever transport carries them.
struct WebRequest {
    std::string method, path, body, remoteAddress;
    std::map<std::string, std::string> headers; // names lower-cased
    std::string Header(const std::string& lowerName) const;
};
struct WebResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
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
    // Sessions live in this process; the users they belong to in `users`.
    Console(UserStore& users, AuditFn audit, bool tls,
            std::function<Clock::time_point()> now = Clock::now);
    // "/", "/console/..." and "/api/session", "/api/users": nullopt for any other request.
    std::optional<WebResponse> Handle(const WebRequest& request);
    // The largest body the console's routes take; sign-in is checked before
    // anything is read, written or hashed.
    static std::size_t BodyLimit(const std::string& method, const std::string& path);
    // For the server's authentication: a request that carries the session
    // cookie is that session's user, and a change must also pass the
    // cross-site checks. NoSession lets the server try its tokens.
    SessionAuth Authenticate(const RequestInfo& request);

    SessionStore& Sessions() { return sessions_; }
    void SetDirectory(DirectoryHooks hooks) { directory_ = std::move(hooks); }
    SignInThrottle& Throttle() { return throttle_; }

    static constexpr std::size_t kMaxSignInBody = 4096;
    static constexpr std::size_t kMaxPassword = 1024;
    static constexpr int kParallelChecks = 2; // Argon2id takes 64 MiB each

    static constexpr const char* kAccountsUnavailable = "the console's accounts cannot be read now";

  private:
    std::optional<WebResponse> Route(const WebRequest& req);
    WebResponse SignIn(const WebRequest& req);
    WebResponse Current(const WebRequest& req);
    WebResponse SignOut(const WebRequest& req);
    WebResponse DirectorySignIn(const WebRequest& req, const std::string& name, const std::string& password);
    // A directory session's role, looked up again when due; false when it has none now.
    bool RecheckRole(Session& session, const std::string& address);
    WebResponse Users(const WebRequest& req);
    WebResponse ChangeUser(const WebRequest& req, const std::string& target);
    // The session, if it lives and its local user still has the role and password it began with.
    std::optional<Session> LiveSession(const std::string& id, const std::string& address);
    std::optional<SessionPrincipal> RequireAdmin(const WebRequest& req, WebResponse& refused);

    UserStore& users_;
    AuditFn audit_;
    bool tls_;
    SessionStore sessions_;
    SignInThrottle throttle_;
    std::function<Clock::time_point()> now_;
    DirectoryHooks directory_;
    std::string dummyHash_; // verified against when the user is unknown, to keep timing even
    std::counting_semaphore<kParallelChecks> checks_{kParallelChecks};
};

} // namespace nvconsole
