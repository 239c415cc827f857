// Enters accepted alerts' ledgers after the API has answered, on a thread
// and a store connection of its own, so that neither the caller nor the
// API's other requests wait on thousands of rows (Store::EnterLedger).
// What the database refuses is tried again each second; what is left at the
// stop, or by a killed process, is entered after the next start.
#pragma once

#include "Store.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace nvserver {

class LedgerEntry {
  public:
    explicit LedgerEntry(Store& store);
    ~LedgerEntry();
    LedgerEntry(const LedgerEntry&) = delete;
    LedgerEntry& operator=(const LedgerEntry&) = delete;

    void Add(std::int64_t alert);
    // Enters what is waiting (each tried once more), then ends the thread.
    void Stop();

  private:
    void Run();

    Store& store_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::int64_t> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace nvserver
