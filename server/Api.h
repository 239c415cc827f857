// The HTTP API's request handling, apart from the transport so that it can
// be tested and fuzzed without sockets: a request in, a response out.
#pragma once

#include "Directory.h"
#include "EventHub.h"
#include "Model.h"
#include "Store.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace nvserver {

// Where stored alerts go out to the workstations.
class Dispatch {
  public:
    virtual ~Dispatch() = default;
    // How many online stations it went to now (-1: unknown).
    virtual int Deliver(const Alert& alert) = 0;
    virtual void Cancel(std::int64_t id) = 0;
    virtual void GroupsChanged() = 0;
    // Another node settled these (alert, station) pairs: not to be sent again.
    virtual void Settled(std::vector<std::pair<std::int64_t, std::int64_t>>) {}
    // This node's connected stations are its own again (see Workstations).
    virtual void Reclaim() {}
    // Another node took these stations online, from the addresses they show.
    virtual void ClaimedElsewhere(const std::string& /*node*/, std::vector<Station>) {}
};

enum class Scope { Read = 1, Send = 2, Admin = 3 };
bool ParseScope(const std::string& text, Scope& out);

// Who is asking: a token today; the console adds sign-in sessions.
struct Principal {
    std::string name;
    std::string kind; // "token" or "session"
    Scope scope = Scope::Read;
};

struct ApiRequest {
    std::string method, path, body, remoteAddress;
    std::multimap<std::string, std::string> params;
    std::map<std::string, std::string> headers; // names lower-cased
    std::string Param(const std::string& key) const;
    std::string Header(const std::string& lowerName) const;
};

// The console's sign-in sessions, asked before the tokens: a request that
// carries a session cookie is that session's user or is refused.
struct SessionCheck {
    enum Outcome { NoSession, Ok, Refused } outcome = NoSession;
    Principal who;
    int status = 0;
    std::string error;
};
struct ApiRequest;
using SessionChecker = std::function<SessionCheck(const ApiRequest&)>;

struct ApiResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    int delayMs = 0; // the transport waits this long before answering, holding no thread
    std::vector<std::pair<std::string, std::string>> headers; // more header lines
};

// Repeated authentication failures from one address are slowed down: each
// failure after the first few adds to the wait, up to a few seconds.
class FailureThrottle {
  public:
    int Failed(const std::string& address);
    void Succeeded(const std::string& address);

  private:
    std::mutex mutex_;
    std::map<std::string, std::pair<int, std::chrono::steady_clock::time_point>> failures_;
};

class Api {
  public:
    Api(Store& store, EventHub& hub, Dispatch& dispatch) : store_(store), hub_(hub), dispatch_(dispatch) {}

    // The one place that maps a request to who makes it.
    std::optional<Principal> Authenticate(const ApiRequest& request);
    ApiResponse Handle(const ApiRequest& request);
    void SetSessionChecker(SessionChecker checker) { sessions_ = std::move(checker); }
    // The organisation's directory, when the server has one (serve --ldap).
    void SetDirectory(Directory* directory) { directory_ = directory; }
    // Routes under /api/cap and /api/hooks, answered by the integrations.
    using Extension = std::function<ApiResponse(const ApiRequest&, const Principal&,
                                                const std::vector<std::string>& parts)>;
    void SetExtensions(Extension handler) { extensions_ = std::move(handler); }
    // Told of every alert made, with its JSON as the API answers it.
    void SetCreatedHook(std::function<void(const Alert&, const nlohmann::json&)> hook) {
        created_ = std::move(hook);
    }
    // Hands an accepted alert's ledger entry (Store::EnterLedger) to be done
    // after the answer; without one, it is done before.
    void SetLedgerEntry(std::function<void(std::int64_t)> later) { enterLater_ = std::move(later); }
    // Stores and delivers an alert whose fields and target are set: 201 with
    // the alert, or the refusal (422: characters Windows-1252 lacks, put in
    // `refusal` too; 413: too long).
    // `via` says, in the audit entry, where the alert came from (a template, a schedule).
    ApiResponse Submit(Alert& alert, bool replaceUnsupported, const Principal& who,
                       const std::string& address, std::string* refusal = nullptr, const std::string& via = "");
    // An alert from a request body as POST /api/alerts takes it (400 on a bad one).
    ApiResponse CreateFromBody(const nlohmann::json& body, const Principal& who, const std::string& address,
                               const std::string& via = "");
    // The same message again, linked to alert `id`, to the stations that have
    // read neither it nor an earlier follow-up (409 when none is left);
    // audited as `action`, its detail starting with `note`.
    ApiResponse FollowUp(std::int64_t id, const Principal& who, const std::string& address,
                         const std::string& action, const std::string& note);
    // Routes under /api/templates, /api/drafts and /api/schedules.
    void SetPrepared(Extension handler) { prepared_ = std::move(handler); }
    // Cancels it unless already cancelled or expired; the alert as it now is, nullopt when there is none.
    std::optional<Alert> Cancel(std::int64_t id, const Principal& who, const std::string& address);
    nlohmann::json AlertWithCounts(const Alert& alert);
    // For the transport's event stream: nullopt when allowed, else the refusal.
    std::optional<ApiResponse> Authorize(const ApiRequest& request, Scope needed,
                                         Principal* who = nullptr);

  private:
    ApiResponse Route(const ApiRequest& r, const Principal& who);
    ApiResponse CreateAlert(const ApiRequest& r, const Principal& who);
    ApiResponse CreateFrom(const nlohmann::json& body, const Principal& who, const std::string& address,
                           const std::string& via = "");
    ApiResponse ListAlerts(const ApiRequest& r);
    ApiResponse ShowAlert(std::int64_t id, bool csv, bool french);
    ApiResponse CancelAlert(const ApiRequest& r, const Principal& who, std::int64_t id);
    ApiResponse ResendUnread(const ApiRequest& r, const Principal& who, std::int64_t id);
    ApiResponse Issue(Alert& a, const std::string& text, const AuditEntry& audit);
    ApiResponse Reach(const ApiRequest& r);
    ApiResponse Stations(const ApiRequest& r);
    ApiResponse Groups(const ApiRequest& r, const Principal& who, const std::string& name);
    ApiResponse Audit(const ApiRequest& r);
    ApiResponse DirectoryRequest(const ApiRequest& r, const Principal& who, bool sync);
    ApiResponse Tokens(const ApiRequest& r, const Principal& who, const std::string& id);
    void Record(const ApiRequest& r, const Principal& who, const std::string& action,
                const std::string& detail);

    Store& store_;
    EventHub& hub_;
    Dispatch& dispatch_;
    FailureThrottle throttle_;
    SessionChecker sessions_;
    Directory* directory_ = nullptr;
    Extension extensions_;
    Extension prepared_;
    std::function<void(const Alert&, const nlohmann::json&)> created_;
    std::function<void(std::int64_t)> enterLater_;
};

nlohmann::json SyncStateJson(const SyncState& state, Time now);

} // namespace nvserver
