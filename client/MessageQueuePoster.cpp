#include "client/MessageQueuePoster.h"

#include <chrono>

namespace nv {

MessageQueuePoster::~MessageQueuePoster() {
    for (const Brut& b : file_)
        if (b.message == kMessageAlerte)
            LibereBlocAlerte(b.lParam);
}

BOOL MessageQueuePoster::PostMessageA(HWND fenetre, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refuse_)
            return FALSE;
        file_.push_back({fenetre, message, wParam, lParam});
    }
    cv_.notify_all();
    return TRUE;
}

bool MessageQueuePoster::Attend(MessagePoste& out, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !file_.empty(); }))
        return false;
    const Brut b = file_.front();
    file_.pop_front();
    lock.unlock();
    out.fenetre = b.fenetre;
    out.message = b.message;
    out.wParam = b.wParam;
    out.blocNul = b.lParam == 0;
    out.texte.clear();
    if (b.message == kMessageAlerte) {
        if (b.lParam != 0)
            out.texte.assign(reinterpret_cast<const char*>(b.lParam), b.wParam);
        LibereBlocAlerte(b.lParam);
    }
    return true;
}

std::size_t MessageQueuePoster::Taille() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_.size();
}

void MessageQueuePoster::RefusePosts(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_ = refuse;
}

} // namespace nv
