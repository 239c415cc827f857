#include "LedgerWriter.h"

#include "ApiJson.h"
#include "Workstations.h"

#include <cstdio>
#include <unordered_map>

namespace nvserver {

namespace {

// A refused write is tried again after this, not in a tight loop.
constexpr auto kRetryPause = std::chrono::milliseconds(200);

template <class T> void Append(std::vector<T>& to, std::vector<T>& from) {
    if (to.empty())
        to.swap(from);
    else
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    from.clear();
}

bool Empty(const TurnBatch& b) { return b.added.empty() && b.seen.empty() && b.ops.empty(); }

} // namespace

LedgerWriter::LedgerWriter(Store& store, EventHub& hub, std::size_t maxHeld)
    : store_(store), hub_(hub), maxHeld_(maxHeld), thread_([this] { Run(); }) {}

LedgerWriter::~LedgerWriter() { Drain(); }

void LedgerWriter::Hand(TurnBatch batch, std::function<void()> written) {
    {
        std::lock_guard lock(mutex_);
        Append(queued_.added, batch.added);
        Append(queued_.seen, batch.seen);
        Append(queued_.ops, batch.ops);
        queued_.events += batch.events;
        if (written)
            done_.push_back(std::move(written));
    }
    wake_.notify_one();
}

void LedgerWriter::Drain(std::chrono::milliseconds patience) {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        draining_ = true;
        giveUpAt_ = std::chrono::steady_clock::now() + patience;
    }
    wake_.notify_one();
    thread_.join();
}

void LedgerWriter::Run() {
    for (;;) {
        std::vector<std::function<void()>> done;
        std::string events;
        bool draining;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [&] { return draining_ || !Empty(queued_) || !queued_.events.empty() || !done_.empty(); };
            if (Empty(held_))
                wake_.wait(lock, ready);
            else // refused last time: new batches join it at the next try
                wake_.wait_for(lock, kRetryPause, [&] { return draining_; });
            Append(held_.added, queued_.added);
            Append(held_.seen, queued_.seen);
            Append(held_.ops, queued_.ops);
            events.swap(queued_.events);
            done.swap(done_);
            draining = draining_;
        }
        const bool written = Empty(held_) || WriteHeld();
        Workstations::PrintEvents(events);
        for (auto& d : done)
            d();
        if (!draining)
            continue;
        std::lock_guard lock(mutex_);
        if (!Empty(queued_) || !queued_.events.empty() || !done_.empty())
            continue; // handed while stopping: written too
        if (written)
            return;
        if (std::chrono::steady_clock::now() >= giveUpAt_) {
            GiveUp();
            return;
        }
    }
}

bool LedgerWriter::WriteHeld() {
    try {
        store_.ApplyTurn(held_.added, held_.seen, held_.ops);
    } catch (const StoreError& e) {
        Workstations::PrintEvents(
            Workstations::EventLine("store_error", "\"error\":" + Dump(e.what())));
        Bound(e.what());
        return false;
    }
    if (hub_.Listening()) {
        std::vector<ReceiptChange> changed;
        for (const LedgerOp& op : held_.ops) {
            if (op.kind == LedgerOp::Entered)
                continue;
            if (changed.size() >= Store::kShownPerTurn)
                break; // a fan-out's detail is in the ledger; the stream stays light
            changed.push_back({op.alert, op.station, op.kind == LedgerOp::Acknowledged});
        }
        PublishReceipts(hub_, store_, changed, Store::NodeId());
    }
    held_ = {};
    return true;
}

void LedgerWriter::Bound(const std::string& error) {
    if (held_.seen.size() > maxHeld_) { // only the last sighting of a station matters
        std::unordered_map<std::int64_t, StationSeen> last;
        for (StationSeen& s : held_.seen)
            last[s.station] = std::move(s);
        held_.seen.clear();
        for (auto& [id, s] : last)
            held_.seen.push_back(std::move(s));
    }
    if (held_.ops.size() > maxHeld_) {
        const std::size_t lost = held_.ops.size() - maxHeld_ / 2;
        held_.ops.erase(held_.ops.begin(), held_.ops.begin() + static_cast<long>(lost));
        std::fprintf(stderr,
                     "nivaxel-server: the database has refused writes for too long: the "
                     "oldest %zu ledger changes are given up\n",
                     lost);
        Workstations::PrintEvents(Workstations::EventLine(
            "ledger_lost", "\"count\":" + std::to_string(lost) + ",\"error\":" + Dump(error)));
    }
}

void LedgerWriter::GiveUp() {
    std::fprintf(stderr,
                 "nivaxel-server: the database refused the last writes until the server stopped: "
                 "%zu ledger changes and %zu sightings are given up\n",
                 held_.ops.size(), held_.seen.size());
    Workstations::PrintEvents(Workstations::EventLine(
        "ledger_lost", "\"count\":" + std::to_string(held_.ops.size()) +
                           ",\"error\":\"stopped before the database accepted them\""));
    held_ = {};
}

} // namespace nvserver
