#include "Webhooks.h"

#include "ApiJson.h"

#include <httplib.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace nvserver {

using nlohmann::json;

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One event line on standard output, from any thread.
void LogEvent(const std::string& name, const json& fields) {
    json line = {{"event", name}, {"time", IsoTime(Now())}};
    line.update(fields);
    const std::string text = Dump(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

std::string WebhookSignature(const std::string& secret, const std::string& body) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &len);
    static const char hex[] = "0123456789abcdef";
    std::string out = "sha256=";
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[mac[i] >> 4];
        out += hex[mac[i] & 15];
    }
    return out;
}

Webhooks::Webhooks(WebhookConfig config, Store& store, EventHub& hub)
    : config_(std::move(config)), store_(store), hub_(hub) {}

Webhooks::~Webhooks() { Stop(); }

void Webhooks::Start() {
    if (config_.targets.empty())
        return;
    hub_.Join(); // the receipts stream is published only while someone follows it
    expiredChecked_ = Now() - 86400;
    deliver_ = std::thread([this] { DeliverLoop(); });
    follow_ = std::thread([this] { FollowLoop(); });
}

void Webhooks::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stop_)
            return;
        stop_ = true;
    }
    wake_.notify_all();
    if (deliver_.joinable())
        deliver_.join();
    if (follow_.joinable()) {
        follow_.join();
        hub_.Leave();
    }
}

void Webhooks::Notify(const std::string& event, const json& data) {
    const Time now = Now();
    for (const WebhookTarget& t : config_.targets) {
        if (!t.events.empty() && !t.events.count(event))
            continue;
        const std::string body = Dump({{"event", event}, {"time", IsoTime(now)}, {"data", data}});
        bool queued = false;
        try {
            queued = store_.QueueWebhook(t.url, event, body, now, config_.queueLimit);
        } catch (const StoreError& e) {
            LogEvent("webhook_lost", {{"url", t.url}, {"webhook_event", event}, {"error", e.what()}});
            continue;
        }
        if (!queued) {
            const auto n = ++overflowed_;
            LogEvent("webhook_overflow", {{"url", t.url}, {"webhook_event", event}, {"dropped", n},
                                          {"limit", config_.queueLimit}});
        }
    }
    wake_.notify_all();
}

bool Webhooks::Post(const WebhookJob& job, std::string& error) {
    const auto target = std::find_if(config_.targets.begin(), config_.targets.end(),
                                     [&](const WebhookTarget& t) { return t.url == job.url; });
    if (target == config_.targets.end()) {
        error = "no longer configured";
        return true; // nothing to send it with: dropped below
    }
    const std::size_t hostStart = job.url.find("://") + 3;
    const std::size_t pathStart = job.url.find('/', hostStart);
    const std::string base = job.url.substr(0, pathStart);
    const std::string path = pathStart == std::string::npos ? "/" : job.url.substr(pathStart);
    httplib::Client client(base);
    const auto timeout = std::chrono::milliseconds(config_.timeoutMs);
    client.set_connection_timeout(timeout);
    client.set_read_timeout(timeout);
    client.set_write_timeout(timeout);
    const httplib::Headers headers = {{"X-Nivaxel-Signature", WebhookSignature(target->secret, job.body)},
                                      {"X-Nivaxel-Event", job.event},
                                      {"X-Nivaxel-Delivery", std::to_string(job.id)}};
    const auto res = client.Post(path, headers, job.body, "application/json");
    if (!res) {
        error = httplib::to_string(res.error());
        return false;
    }
    if (res->status < 200 || res->status > 299) {
        error = "HTTP " + std::to_string(res->status);
        return false;
    }
    return true;
}

void Webhooks::DeliverLoop() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(std::min(config_.retryMinMs, 1000)));
            if (stop_)
                return;
        }
        std::vector<WebhookJob> due;
        try {
            due = store_.DueWebhooks(NowMs(), 50);
        } catch (const StoreError&) {
            continue; // the store comes back; the queue is still there
        }
        for (const WebhookJob& job : due) {
            {
                std::lock_guard lock(mutex_);
                if (stop_)
                    return;
            }
            std::string error;
            try {
                if (Post(job, error)) {
                    store_.WebhookDone(job.id);
                    if (!error.empty())
                        LogEvent("webhook_dropped", {{"url", job.url}, {"delivery", job.id}, {"error", error}});
                    continue;
                }
                if (Now() - job.createdAt > config_.giveUpAfter) {
                    store_.WebhookDone(job.id);
                    LogEvent("webhook_dropped", {{"url", job.url}, {"delivery", job.id}, {"attempts", job.attempts + 1},
                                                 {"error", "undelivered for too long: " + error}});
                    continue;
                }
                const std::int64_t wait = std::min<std::int64_t>(
                    config_.retryMaxMs, std::int64_t{config_.retryMinMs} << std::min(job.attempts, 20));
                store_.WebhookRetry(job.id, NowMs() + wait, error);
                LogEvent("webhook_failed", {{"url", job.url}, {"delivery", job.id}, {"attempts", job.attempts + 1},
                                            {"error", error}, {"retry_ms", wait}});
            } catch (const StoreError&) {
                break;
            }
        }
    }
}

void Webhooks::FollowLoop() {
    std::uint64_t cursor = hub_.Cursor();
    auto lastCheck = std::chrono::steady_clock::now() - std::chrono::hours(1);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
        }
        const std::string text = hub_.Next(cursor, std::chrono::milliseconds(500));
        if (text.empty() && hub_.Closed())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<std::int64_t> touched;
        // Server-sent events: "event: NAME\ndata: JSON\n\n".
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find("\n\n", at);
            if (end == std::string::npos)
                end = text.size();
            const std::string block = text.substr(at, end - at);
            at = end + 2;
            if (block.rfind("event: receipt\ndata: ", 0) != 0)
                continue;
            json data = json::parse(block.substr(21), nullptr, false);
            if (data.is_discarded() || data.value("state", "") != "acknowledged" || !data.contains("alert"))
                continue;
            // Each node tells of the receipts it took; all of them settle alerts.
            if (data.value("node", Store::NodeId()) == Store::NodeId())
                Notify("receipt.acknowledged", data);
            touched.push_back(data["alert"].get<std::int64_t>());
        }
        std::sort(touched.begin(), touched.end());
        touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
        try {
            Acknowledged(touched);
            if (std::chrono::steady_clock::now() - lastCheck > std::chrono::seconds(2)) {
                lastCheck = std::chrono::steady_clock::now();
                CheckExpired(Now());
                // The stream may have skipped receipts (it is bounded): the live
                // alerts are looked at again, so that none is left unreported.
                std::vector<std::int64_t> live;
                for (const Alert& a : store_.LiveAlerts(Now()))
                    if (!reportedAcknowledged_.count(a.id))
                        live.push_back(a.id);
                Acknowledged(live);
            }
        } catch (const StoreError&) {
        }
    }
}

// Every station the alert reaches has read it: said once per alert.
void Webhooks::Acknowledged(const std::vector<std::int64_t>& alerts) {
    const Time now = Now();
    for (const std::int64_t id : alerts) {
        const auto a = store_.GetAlert(id);
        if (!a)
            continue;
        const auto counts = store_.Counts(*a, now);
        std::int64_t unread = 0;
        for (const char* state : {"queued", "sent", "replaced", "not reached"})
            unread += counts.count(state) ? counts.at(state) : 0;
        const std::int64_t read = counts.count("acknowledged") ? counts.at("acknowledged") : 0;
        if (unread != 0 || read == 0)
            continue;
        reportedAcknowledged_.insert(id);
        if (store_.FirstTime(id, "alert.acknowledged"))
            Notify("alert.acknowledged", AlertJson(*a, counts, now));
    }
}

// Alerts that expired with stations that never read them.
void Webhooks::CheckExpired(Time now) {
    for (const std::int64_t id : store_.ExpiredBetween(expiredChecked_, now)) {
        const auto a = store_.GetAlert(id);
        if (!a)
            continue;
        const auto counts = store_.Counts(*a, now);
        std::int64_t unread = 0;
        for (const auto& [state, n] : counts)
            if (state != "acknowledged")
                unread += n;
        if (unread > 0 && store_.FirstTime(id, "alert.expired"))
            Notify("alert.expired", AlertJson(*a, counts, now));
    }
    expiredChecked_ = now;
}

} // namespace nvserver
