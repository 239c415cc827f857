// Nodes on one PostgreSQL database hear of each other's alerts,
// cancellations and group changes through LISTEN/NOTIFY: the store sends
// the word in the same transaction as the change, so it goes out only once
// the change is committed, and a listening connection of each node passes
// it to that node's delivery loop, and the other nodes' receipt changes to
// this node's event stream.
#pragma once

#include "Api.h"
#include "Store.h"

#include <atomic>
#include <chrono>
#include <istream>
#include <string>
#include <thread>

namespace nvserver {

class ClusterListener {
  public:
    // `store` is the listener's own (it reads the alerts it hears of).
    // Every `sweep`, the stations of nodes that no longer hold their lock
    // are marked offline.
    ClusterListener(std::string conninfo, Store& store, Dispatch& dispatch, EventHub& hub,
                    std::chrono::seconds sweep = std::chrono::seconds(30));
    ~ClusterListener();
    ClusterListener(const ClusterListener&) = delete;
    ClusterListener& operator=(const ClusterListener&) = delete;
    void Start();
    void Stop();

  private:
    void Run();
    void Handle(const std::string& payload);
    void Receipts(const std::string& node, std::istream& items);

    std::string conninfo_;
    Store& store_;
    Dispatch& dispatch_;
    EventHub& hub_;
    std::chrono::seconds sweep_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace nvserver
