// What the connection thread posts, kept in a queue instead of a window's:
// for tests, benchmarks and the Linux build, never in the programs.
#pragma once

#include "client/MessagePoster.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace nv {

struct MessagePoste {
    HWND fenetre = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    bool blocNul = true; // the alert message's lParam was null
    std::string texte;   // the alert block's bytes, already released
};

// Keeps what was posted, in order, and frees alert blocks as it takes them.
class MessageQueuePoster : public MessagePoster {
  public:
    ~MessageQueuePoster() override;
    BOOL PostMessageA(HWND fenetre, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Next message, waiting at most timeoutMs; false when none came.
    bool Attend(MessagePoste& out, int timeoutMs);
    std::size_t Taille();
    // Makes the next posts fail, as a destroyed window would.
    void RefusePosts(bool refuse);

  private:
    struct Brut {
        HWND fenetre;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Brut> file_;
    bool refuse_ = false;
};

} // namespace nv
