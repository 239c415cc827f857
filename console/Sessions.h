// Browser sessions, the sign-in throttle and the checks every change must pass.
#pragma once

#include "console/Accounts.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace nvconsole {

using Clock = std::chrono::steady_clock;

struct Session {
    std::string id;   // the cookie's value: 256 random bits, hex
    std::string csrf; // sent back by the page in X-CSRF-Token on every change
    std::string name;
    Role role = Role::Viewer;
    Clock::time_point lastUse;
    Clock::time_point created;
    // Signed in through the organisation's directory: its role is looked up
    // again now and then, so that removal from a group ends the access.
    bool directory = false;
    Clock::time_point roleChecked;
    std::string stamp; // a local user's password hash at sign-in: a change elsewhere ends the session
};

// Sessions live in memory: a restart signs everybody out, which is the safe side.
class SessionStore {
  public:
    SessionStore(std::chrono::seconds idle, std::chrono::seconds absolute)
        : idle_(idle), absolute_(absolute) {}
    Session Create(const std::string& name, Role role, Clock::time_point now, bool directory = false,
                   const std::string& stamp = {});
    // A directory session's role as looked up at `checked`.
    void SetRole(const std::string& id, Role role, Clock::time_point checked);
    // Renews the idle time; an expired session is forgotten and not returned.
    std::optional<Session> Use(const std::string& id, Clock::time_point now);
    void Remove(const std::string& id);
    // After a user's role changes or the user is removed.
    void RemoveUser(const std::string& name);
    std::chrono::seconds Idle() const { return idle_; }

  private:
    std::chrono::seconds idle_, absolute_;
    std::mutex mutex_;
    std::map<std::string, Session> sessions_;
};

// Failed sign-ins, per address and user name together: a person's right
// password still works from another address. Admission and counting are one
// step, so parallel guesses get no more checks than the allowance: the first
// few run, then each one waits for the last to fail, twice as long each time.
class SignInThrottle {
  public:
    struct Admission {
        std::chrono::milliseconds wait{0}; // zero: admitted, and counted until its outcome
        int refusals = 0;                  // refused attempts since the last success, when wait > 0
    };
    Admission Begin(const std::string& name, const std::string& address, Clock::time_point now);
    // The admitted attempt's outcome. Failed returns the failures in a row.
    int Failed(const std::string& name, const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& name, const std::string& address);
    void Abandon(const std::string& name, const std::string& address);
    std::size_t Size();

    static constexpr int kFreeAttempts = 3;
    static constexpr std::chrono::milliseconds kFirstDelay{1000};
    static constexpr std::chrono::milliseconds kMaxDelay{60000};
    static constexpr std::chrono::minutes kForget{15}; // quiet this long, failures are forgotten
    static constexpr std::size_t kMaxEntries = 10000;

  private:
    struct Entry {
        int failures = 0, inFlight = 0, refusals = 0;
        Clock::time_point notBefore, last;
    };
    Entry& Slot(const std::string& key, Clock::time_point now);
    void Drop(const std::string& key);
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

std::string RandomHex(std::size_t bytes);

// The Set-Cookie value for a session, and for forgetting it.
std::string SessionCookie(const std::string& id, std::chrono::seconds maxAge, bool secure);
std::string ClearedSessionCookie(bool secure);
// The session id in a Cookie header, or empty.
std::string SessionIdFromCookies(const std::string& cookieHeader);

struct ChangeRequest {
    std::string method;
    std::string origin;     // Origin header, may be empty
    std::string fetchSite;  // Sec-Fetch-Site header, may be empty
    std::string host;       // Host header
    std::string csrfHeader; // X-CSRF-Token
    bool tls = false;
};

// Empty when a cookie-authenticated request may change something, else why not.
// Reads (GET, HEAD) always pass: they change nothing.
std::string RefuseCrossSite(const ChangeRequest& request, const Session& session);

} // namespace nvconsole
