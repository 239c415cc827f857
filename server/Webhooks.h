// Word back to other systems: each event is queued in the store for every
// configured URL that wants it, then POSTed with an HMAC-SHA256 signature
// of the body, retried with growing waits until delivered or too old. Its
// own threads: a slow or dead receiver never holds up an alert, and a
// restart loses nothing queued. The queue is bounded; what overflows it is
// reported, not kept.
#pragma once

#include "EventHub.h"
#include "IntegrationConfig.h"
#include "Store.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace nvserver {

// "sha256=" and the lower-case hex HMAC-SHA256 of `body` under `secret`.
std::string WebhookSignature(const std::string& secret, const std::string& body);

class Webhooks {
  public:
    Webhooks(WebhookConfig config, Store& store, EventHub& hub);
    ~Webhooks();
    Webhooks(const Webhooks&) = delete;
    Webhooks& operator=(const Webhooks&) = delete;

    void Start();
    void Stop();
    // Queues `event` for every target that wants it.
    void Notify(const std::string& event, const nlohmann::json& data);
    std::int64_t Overflowed() const { return overflowed_.load(); }

  private:
    void DeliverLoop();
    void FollowLoop();
    void Acknowledged(const std::vector<std::int64_t>& alerts);
    void CheckExpired(Time now);
    bool Post(const WebhookJob& job, std::string& error);

    WebhookConfig config_;
    Store& store_;
    EventHub& hub_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<std::int64_t> overflowed_{0};
    Time expiredChecked_ = 0;
    std::set<std::int64_t> reportedAcknowledged_; // follow thread only
    std::thread deliver_, follow_;
};

} // namespace nvserver
