// Server-sent events for the API's live stream: a bounded ring of formatted
// events that any number of readers follow at their own pace. A reader that
// falls a whole ring behind skips ahead and is told so. Readers either wait in
// Next or, without a thread each, are woken by the watcher and take with no wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace nvserver {

class EventHub {
  public:
    explicit EventHub(std::size_t capacity = 20000) : capacity_(capacity) {}

    // Cheap check so that producers build events only when someone listens.
    bool Listening() const { return readers_.load() > 0; }
    void Publish(const std::string& event, const std::string& data);
    // Formatted events after `cursor` (advanced), waiting up to `wait` for one;
    // empty after the wait or once closed.
    std::string Next(std::uint64_t& cursor, std::chrono::milliseconds wait);
    std::uint64_t Cursor();
    void Join() { ++readers_; }
    void Leave() { --readers_; }
    void Close();
    bool Closed();
    // Called after each Publish and on Close, outside the hub's lock; it must not block.
    void SetWatcher(std::function<void()> watcher);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> ring_;
    std::uint64_t first_ = 1; // sequence number of ring_.front()
    std::size_t capacity_;
    std::atomic<int> readers_{0};
    bool closed_ = false;
    std::function<void()> watcher_; // set before any Publish
};

} // namespace nvserver
