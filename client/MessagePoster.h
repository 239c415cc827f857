// The connection thread's only way to reach the window: posted messages.
// PostMessageA on Windows; a thread-safe queue (MessageQueuePoster.h) for
// tests, benchmarks and the Linux build.
#pragma once

#include "common/WinTypes.h"

#include <cstddef>

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

} // namespace nv
