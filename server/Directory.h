// The organisation's directory: its groups (nested ones expanded) read on a
// schedule and on demand, kept as alert targets; and console sign-in by a
// bind as the person, with a role from the configured groups.
#pragma once

#include "DirectoryConfig.h"
#include "Model.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace nvserver {

struct SyncState {
    Time lastAttempt = 0, lastSuccess = 0, errorAt = 0;
    std::string error; // of the last attempt; empty when it succeeded
    std::size_t users = 0, computers = 0, groups = 0, memberships = 0;
    std::int64_t durationMs = 0;
};

struct SignIn {
    bool ok = false;
    bool unreachable = false; // the directory could not answer: not the person's fault
    bool passwordOk = false;  // the bind as the person succeeded
    std::string name, dn, role, error;
};

class Directory {
public:
    using Listener = std::function<void(std::shared_ptr<const Groups>)>;
    explicit Directory(DirectoryConfig config);
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Syncs at once and then every sync_minutes on a thread of its own;
    // `changed` hears each successful sync's groups.
    void Start(Listener changed);
    // Ends the schedule (and waits for a sync under way).
    void Stop();
    // Syncs now (one sync at a time). A failed sync keeps the last good groups.
    SyncState SyncNow();
    SyncState State() const;
    std::shared_ptr<const Groups> Snapshot() const;
    const DirectoryConfig& Config() const { return config_; }

    SignIn Authenticate(const std::string& login, const std::string& password) const;
    // The role the person named at sign-in has now ("" for none); the
    // result's unreachable says the directory could not tell.
    SignIn CurrentRole(const std::string& login) const;

private:
    std::shared_ptr<const Groups> Read(SyncState& counts) const;
    void Loop();

    const DirectoryConfig config_;
    std::mutex syncMutex_;           // one sync at a time
    mutable std::mutex stateMutex_;  // state_ and groups_
    SyncState state_;
    std::shared_ptr<const Groups> groups_;
    Listener changed_;
    std::mutex loopMutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace nvserver
