// The connection thread's only way to reach the window: posted messages.
// PostMessageA on Windows; a thread-safe queue for tests and benchmarks.
#pragma once

#include "common/WinTypes.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace nv {

constexpr UINT kMessageAlerte = WM_USER + 3;     // wParam length, lParam heap block
constexpr UINT kMessageConnecte = WM_USER + 4;   // connection up, before Identification
constexpr UINT kMessageDeconnecte = WM_USER + 5; // the TCP layer reported the close

// The alert message's block comes from the thread's allocator; whoever
// receives the message releases it with this, once, after reading it.
void* AlloueBlocAlerte(std::size_t taille);
void LibereBlocAlerte(LPARAM bloc);

class MessagePoster {
  public:
    virtual ~MessagePoster() = default;
    // Never waits for the message to be handled; FALSE when not posted.
    virtual BOOL PostMessageA(HWND fenetre, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// PostMessageA on Windows; on Linux a process-wide MessageQueuePoster.
MessagePoster& CurrentMessagePoster();

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
