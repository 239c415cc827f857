#include "LedgerEntry.h"

#include <chrono>
#include <cstdio>

namespace nvserver {

LedgerEntry::LedgerEntry(Store& store) : store_(store) {
    try {
        for (std::int64_t id : store_.PendingLedgers())
            waiting_.push_back(id);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "nivaxel-server: the alerts whose ledger is still to be entered could not be read (%s)\n",
                     e.what());
    }
    thread_ = std::thread([this] { Run(); });
}

LedgerEntry::~LedgerEntry() { Stop(); }

void LedgerEntry::Add(std::int64_t alert) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(alert);
    wake_.notify_one();
}

void LedgerEntry::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable())
        thread_.join();
}

void LedgerEntry::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty())
            return;
        const std::int64_t id = waiting_.front();
        lock.unlock();
        std::string error;
        try {
            store_.EnterLedger(id);
        } catch (const StoreError& e) {
            error = e.what();
        }
        lock.lock();
        if (error.empty()) {
            waiting_.pop_front();
            continue;
        }
        if (stopping_) {
            std::fprintf(stderr, "nivaxel-server: alert %lld: its ledger is entered at the next start (%s)\n",
                         static_cast<long long>(id), error.c_str());
            waiting_.pop_front();
            continue;
        }
        std::fprintf(stderr, "nivaxel-server: alert %lld: entering its ledger failed, tried again in 1 s (%s)\n",
                     static_cast<long long>(id), error.c_str());
        wake_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_; });
    }
}

} // namespace nvserver
