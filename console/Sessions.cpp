#include "console/Sessions.h"

#include <sodium.h>

#include <algorithm>

namespace nvconsole {

std::string RandomHex(std::size_t bytes) {
    if (sodium_init() < 0)
        return {};
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(raw.data()),
                   raw.size());
    hex.pop_back();
    return hex;
}

Session SessionStore::Create(const std::string& name, Role role, Clock::time_point now, bool directory,
                             const std::string& stamp) {
    Session s{RandomHex(32), RandomHex(32), name, role, now, now, directory, now, stamp};
    std::lock_guard lock(mutex_);
    sessions_[s.id] = s;
    return s;
}

void SessionStore::SetRole(const std::string& id, Role role, Clock::time_point checked) {
    std::lock_guard lock(mutex_);
    if (const auto it = sessions_.find(id); it != sessions_.end()) {
        it->second.role = role;
        it->second.roleChecked = checked;
    }
}

std::optional<Session> SessionStore::Use(const std::string& id, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return std::nullopt;
    if (now - it->second.lastUse >= idle_ || now - it->second.created >= absolute_) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.lastUse = now;
    return it->second;
}

void SessionStore::Remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

void SessionStore::RemoveUser(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [&](const auto& kv) { return kv.second.name == name; });
}

namespace {

std::string ThrottleKey(const std::string& name, const std::string& address) {
    return address + '\n' + name; // names never hold a line break
}

} // namespace

SignInThrottle::Entry& SignInThrottle::Slot(const std::string& key, Clock::time_point now) {
    auto it = entries_.find(key);
    if (it != entries_.end())
        return it->second;
    if (entries_.size() >= kMaxEntries) {
        // Full: forget the quiet ones, then if need be the longest quiet.
        std::erase_if(entries_, [&](const auto& kv) {
            return kv.second.inFlight == 0 && now - kv.second.last > kForget;
        });
        while (entries_.size() >= kMaxEntries) {
            auto oldest = entries_.end();
            for (auto e = entries_.begin(); e != entries_.end(); ++e)
                if (e->second.inFlight == 0 && (oldest == entries_.end() || e->second.last < oldest->second.last))
                    oldest = e;
            if (oldest == entries_.end())
                break;
            entries_.erase(oldest);
        }
    }
    Entry& e = entries_[key];
    e.last = now;
    return e;
}

void SignInThrottle::Drop(const std::string& key) {
    auto it = entries_.find(key);
    if (it != entries_.end() && it->second.inFlight == 0 && it->second.failures == 0)
        entries_.erase(it);
}

SignInThrottle::Admission SignInThrottle::Begin(const std::string& name, const std::string& address,
                                                Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Entry& e = Slot(ThrottleKey(name, address), now);
    if (e.inFlight == 0 && now - e.last > kForget)
        e.failures = e.refusals = 0;
    const bool free = e.failures + e.inFlight < kFreeAttempts;
    const bool turn = e.failures >= kFreeAttempts && e.inFlight == 0 && e.notBefore <= now;
    if (free || turn) {
        ++e.inFlight;
        e.last = now;
        return {};
    }
    ++e.refusals;
    const auto wait = e.notBefore > now ? std::chrono::ceil<std::chrono::milliseconds>(e.notBefore - now)
                                        : kFirstDelay; // the allowance is being checked right now
    return {wait, e.refusals};
}

int SignInThrottle::Failed(const std::string& name, const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Entry& e = Slot(ThrottleKey(name, address), now);
    e.inFlight = std::max(0, e.inFlight - 1);
    e.last = now;
    ++e.failures;
    if (e.failures >= kFreeAttempts) {
        auto delay = kFirstDelay;
        for (int i = kFreeAttempts; i < e.failures && delay < kMaxDelay; ++i)
            delay *= 2;
        e.notBefore = now + std::min(delay, kMaxDelay);
    }
    return e.failures;
}

void SignInThrottle::Succeeded(const std::string& name, const std::string& address) {
    std::lock_guard lock(mutex_);
    entries_.erase(ThrottleKey(name, address));
}

void SignInThrottle::Abandon(const std::string& name, const std::string& address) {
    std::lock_guard lock(mutex_);
    const std::string key = ThrottleKey(name, address);
    auto it = entries_.find(key);
    if (it != entries_.end())
        it->second.inFlight = std::max(0, it->second.inFlight - 1);
    Drop(key);
}

std::size_t SignInThrottle::Size() {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

namespace {
const char kCookieName[] = "nv_session";
}

std::string SessionCookie(const std::string& id, std::chrono::seconds maxAge, bool secure) {
    std::string c = std::string(kCookieName) + "=" + id +
                    "; Path=/; Max-Age=" + std::to_string(maxAge.count()) +
                    "; HttpOnly; SameSite=Strict";
    if (secure)
        c += "; Secure";
    return c;
}

std::string ClearedSessionCookie(bool secure) {
    return SessionCookie("", std::chrono::seconds(0), secure);
}

std::string SessionIdFromCookies(const std::string& header) {
    std::size_t pos = 0;
    while (pos < header.size()) {
        std::size_t end = header.find(';', pos);
        if (end == std::string::npos)
            end = header.size();
        std::string part = header.substr(pos, end - pos);
        const auto first = part.find_first_not_of(' ');
        part = first == std::string::npos ? "" : part.substr(first);
        const std::string prefix = std::string(kCookieName) + "=";
        if (part.compare(0, prefix.size(), prefix) == 0)
            return part.substr(prefix.size());
        pos = end + 1;
    }
    return {};
}

std::string RefuseCrossSite(const ChangeRequest& r, const Session& session) {
    if (r.method == "GET" || r.method == "HEAD")
        return {};
    if (r.fetchSite == "cross-site" || r.fetchSite == "same-site")
        return "cross-site request refused";
    if (!r.origin.empty() && r.origin != (r.tls ? "https://" : "http://") + r.host)
        return "request from another origin refused";
    if (r.csrfHeader.size() != session.csrf.size() || session.csrf.empty() ||
        sodium_memcmp(r.csrfHeader.data(), session.csrf.data(), session.csrf.size()) != 0)
        return "missing or wrong CSRF token";
    return {};
}

} // namespace nvconsole
