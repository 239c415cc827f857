#include "client/MessagePoster.h"

namespace nv {

namespace {
class Win32MessagePoster : public MessagePoster {
  public:
    BOOL PostMessageA(HWND fenetre, UINT message, WPARAM wParam, LPARAM lParam) override {
        return ::PostMessageA(fenetre, message, wParam, lParam);
    }
};
} // namespace

MessagePoster& CurrentMessagePoster() {
    static Win32MessagePoster poster;
    return poster;
}

} // namespace nv
