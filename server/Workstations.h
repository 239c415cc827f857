// The workstation side: one epoll loop over the clients' port. Every
// connection gets a bounded share of each turn, output is released as it is
// sent, and an alert's frame is one shared copy for all its recipients.
// Deliveries follow the durable state: the alerts still live, what each
// station has already settled, and the ledger, which a writer thread writes
// in one transaction per batch of turns while the loop goes on.
#pragma once

#include "EventHub.h"
#include "LedgerWriter.h"
#include "Model.h"
#include "Store.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace nvserver {

struct WorkstationOptions {
    std::string bindAddress = "0.0.0.0";
    std::uint16_t port = 5088;
    int probeIntervalSeconds = 60; // 0: never probe
    // AlerteLue names no alert. One that comes this soon after a newer alert
    // went out was meant for the one before: no one reads that fast.
    int ackGraceMs = 1000;
    // What one hostile machine may take: connections not yet identified
    // (all addresses together), open connections from one IP address, and
    // stations never seen before that one IP address may add per minute.
    // A terminal server carries many sessions behind one address.
    int maxUnidentified = 1024; // past it, the others wait in the kernel's queue
    int maxPerAddress = 512;
    int newStationsPerMinute = 120;
    // The client identifies itself as soon as it connects.
    int identifySeconds = 15;
    // Balancers (IPv4 addresses) whose connections begin with a PROXY v2
    // header: its source stands for the station, in the limits above too.
    std::vector<std::string> proxyFrom;
};

// What one client frame may carry; the client itself never sends more than
// a short identification.
constexpr std::int32_t kMaxClientBlock = 64 * 1024;
// A client that lets this much output pile up is dropped.
constexpr std::size_t kMaxPendingOutput = 8u << 20;
// The client refuses alert texts above 1 MiB.
constexpr std::size_t kMaxAlertText = 1u << 20;
// Ledger changes held while the database refuses writes; past it the oldest
// are given up, and the log says how many.
constexpr std::size_t kMaxHeld = 1000000;
// Bytes read from one connection in one turn.
constexpr std::size_t kReadPerTurn = 64 * 1024;

struct AlertFields {
    std::string author, subject, date;
    std::vector<std::string> lines; // UTF-8
};

// The alert text as the client reads it, in Windows-1252, CR LF separated,
// with an empty id line ("I=") that the store fills in. Fields lose their
// line breaks and NULs (each would cut the text short). Characters that
// Windows-1252 lacks become '?' and are listed in `missing`.
std::string BuildAlertText(const AlertFields& fields, std::vector<std::string>* missing = nullptr);
std::string Frame(std::int32_t type, const std::string& block1 = {});

// Publishes the receipts of these (alert, station) pairs as they stand in
// the store, each naming the node that served the station.
struct ReceiptChange {
    std::int64_t alert, station;
    bool acknowledges;
};
void PublishReceipts(EventHub& hub, Store& store, const std::vector<ReceiptChange>& changes,
                     const std::string& node);

class Workstations {
  public:
    // The ledger is written through `writerStore` (a connection of its own,
    // so that the loop's own queries never wait behind a batch), else `store`.
    Workstations(WorkstationOptions options, Store& store, EventHub& hub, Store* writerStore = nullptr);
    ~Workstations();
    Workstations(const Workstations&) = delete;
    Workstations& operator=(const Workstations&) = delete;

    // Binds the port and loads what is still to deliver; false with a
    // message on stderr.
    bool Start();
    std::uint16_t Port() const { return port_; }
    // Runs until Stop(); returns the exit code.
    int Run();
    // Safe from any thread and from a signal handler.
    void Stop();

    // From the API's threads, once the alert is stored: delivers it to the
    // matching online stations; returns how many it went to (-1 when the
    // loop did not answer in time).
    int Deliver(const Alert& alert);
    void Cancel(std::int64_t id);
    void GroupsChanged();
    // Marks every connected station online again as this node's: after the
    // node's lock was lost with its link, another may have marked them offline.
    void Reclaim();
    // Stations another node took online: one this node serves from another
    // machine is logged as `duplicate_claim` (with the other `node`).
    void ClaimedElsewhere(const std::string& node, std::vector<Station> stations);
    // (alert, station) pairs settled through another node: not sent again.
    void Settled(std::vector<std::pair<std::int64_t, std::int64_t>> pairs);

    // Prints one JSON event line, from any thread: the loop's lines go out
    // once the ledger changes of their turn have been written (or refused).
    static void Event(const std::string& name, const std::string& fieldsJson);
    static std::string EventLine(const std::string& name, const std::string& fieldsJson);
    static void WriteEvents();
    // Lines already made (EventLine), out at once.
    static void PrintEvents(const std::string& lines);

  private:
    struct Client;
    struct Refusals {
        std::uint64_t unreported = 0, total = 0;
        std::chrono::steady_clock::time_point lastLine{};
    };
    struct Live {
        Alert alert;
        std::shared_ptr<const std::string> frame;
        bool started = false; // scheduled alerts: handed out once they start
    };

    void Post(std::function<void()> job);
    void RunPosted();
    void Accept();
    bool Admit(const std::string& ip);
    bool FromBalancer(const std::string& ip) const;
    bool TakeProxyHeader(Client& c);
    void Connected(Client& c);
    void OutOfDescriptors();
    void PauseAccepting(std::chrono::milliseconds pause);
    void ResumeAccepting();
    void Refused(const std::string& reason);
    void ReportRefusals(bool all);
    void DropSilentNewcomers();
    bool NewStationAllowed(const std::string& ip);
    void ResolveStations();
    void AdmitStation(Client& c);
    void ReadClient(Client& c);
    void HandleFrame(Client& c, std::int32_t type, const std::string& block1);
    void Identified(Client& c);
    void Acknowledged(Client& c);
    bool Wanted(const Client& c, const Live& live) const;
    void SendAlert(Client& c, const Live& live);
    void SendNext(Client& c);
    void Queue(Client& c, std::shared_ptr<const std::string> bytes);
    void Flush(Client& c);
    void Drop(int fd, const char* reason);
    void Probe();
    void Tick();
    void AddLive(const Alert& alert);
    int DeliverNow(std::int64_t id);
    // Hands the turn's writes to the writer; `written` runs once they have been tried.
    void SaveTurn(std::function<void()> written = {});
    void Forget(std::int64_t id);
    void WatchOutput(int fd, bool want);

    WorkstationOptions options_;
    Store& store_;
    EventHub& hub_;
    int epoll_ = -1, listen_ = -1, wake_ = -1;
    int reserve_ = -1; // spare descriptor, given up to refuse a connection when none are left
    // Out of descriptors: the listener is out of the loop until then.
    bool acceptPaused_ = false;
    std::chrono::steady_clock::time_point acceptResumes_{};
    std::map<std::string, Refusals> refusals_; // by reason
    std::unordered_map<std::string, int> perAddress_; // IP -> open connections
    int unidentified_ = 0;
    // (connected at, fd, client id) of connections not yet identified, oldest first.
    std::deque<std::tuple<std::chrono::steady_clock::time_point, int, std::uint64_t>> newcomers_;
    // IP -> (start of its minute, stations added in it).
    std::unordered_map<std::string, std::pair<std::chrono::steady_clock::time_point, int>> newStations_;
    // Every station known, by name keys: served from here even while the
    // database cannot be written; new ones are written with the ledger.
    std::map<std::pair<std::string, std::string>, std::int64_t> stationIds_;
    std::int64_t nextStation_ = 1;
    // (fd, client id) of identifications whose station the database is to name.
    std::vector<std::pair<int, std::uint64_t>> resolving_;
    std::vector<Station> added_;
    std::uint16_t port_ = 0;
    std::uint64_t nextId_ = 1;
    std::map<int, std::unique_ptr<Client>> clients_;

    std::map<std::int64_t, Live> live_;                    // by alert id
    std::set<std::pair<std::int64_t, std::int64_t>> settled_; // (alert, station)
    Groups groups_;
    std::unordered_map<std::int64_t, int> onlineCount_; // station -> open connections
    std::unordered_map<std::int64_t, std::string> onlineIp_; // station -> IP of its first live connection
    std::vector<LedgerOp> ledger_;
    std::vector<StationSeen> seen_;
    LedgerWriter writer_; // last: drained before the rest goes

    std::mutex postMutex_;
    std::vector<std::function<void()>> posted_;
    std::atomic<bool> stopRequested_{false};
};

} // namespace nvserver
