#include "EventHub.h"

namespace nvserver {

void EventHub::Publish(const std::string& event, const std::string& data) {
    {
        std::lock_guard lock(mutex_);
        ring_.push_back("event: " + event + "\ndata: " + data + "\n\n");
        if (ring_.size() > capacity_) {
            ring_.pop_front();
            ++first_;
        }
    }
    changed_.notify_all();
    if (watcher_)
        watcher_();
}

std::uint64_t EventHub::Cursor() {
    std::lock_guard lock(mutex_);
    return first_ + ring_.size();
}

std::string EventHub::Next(std::uint64_t& cursor, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return closed_ || first_ + ring_.size() > cursor; });
    std::string out;
    if (closed_)
        return out;
    if (cursor < first_) {
        out = ": " + std::to_string(first_ - cursor) + " events lost\n\n";
        cursor = first_;
    }
    for (; cursor < first_ + ring_.size(); ++cursor)
        out += ring_[cursor - first_];
    return out;
}

void EventHub::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
    if (watcher_)
        watcher_();
}

void EventHub::SetWatcher(std::function<void()> watcher) { watcher_ = std::move(watcher); }

bool EventHub::Closed() {
    std::lock_guard lock(mutex_);
    return closed_;
}

} // namespace nvserver
