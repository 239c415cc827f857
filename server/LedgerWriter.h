// The workstation loop's writes, off the loop: each turn hands its batch
// (stations new to the database, sightings, ledger changes, event lines)
// here, and one thread writes whatever has piled up in one transaction,
// publishes the receipts, then prints the event lines, so that a line never
// tells of a change the ledger does not hold yet. Batches reach the
// database in the order they were handed; one the database refuses stays,
// ahead of the later ones, and is tried again.
#pragma once

#include "EventHub.h"
#include "Store.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace nvserver {

struct TurnBatch {
    std::vector<Station> added;
    std::vector<StationSeen> seen;
    std::vector<LedgerOp> ops;
    std::string events; // JSON lines, printed once the rest has been tried
};

class LedgerWriter {
  public:
    // Held ledger changes past `maxHeld` are given up, oldest first.
    LedgerWriter(Store& store, EventHub& hub, std::size_t maxHeld);
    ~LedgerWriter(); // drains, see Drain
    LedgerWriter(const LedgerWriter&) = delete;
    LedgerWriter& operator=(const LedgerWriter&) = delete;

    // Never waits on the database. `written`, if any, runs on the writer's
    // thread once the batch has been tried (written or held for a retry).
    void Hand(TurnBatch batch, std::function<void()> written = {});
    // Writes everything handed, retrying for up to `patience`, then gives
    // up what is left with a line on stderr; stops the thread.
    void Drain(std::chrono::milliseconds patience = std::chrono::seconds(5));
  private:
    void Run();
    // One attempt at everything held; false when the database refused it.
    bool WriteHeld();
    // What a store that stays broken may keep held.
    void Bound(const std::string& error);
    void GiveUp();

    Store& store_;
    EventHub& hub_;
    const std::size_t maxHeld_;
    std::mutex mutex_;
    std::condition_variable wake_;
    TurnBatch queued_;                        // handed, not yet taken
    std::vector<std::function<void()>> done_; // of the queued batches
    bool draining_ = false;
    std::chrono::steady_clock::time_point giveUpAt_{};
    TurnBatch held_; // the writer thread's own: taken, not yet written
    std::thread thread_;
};

} // namespace nvserver
