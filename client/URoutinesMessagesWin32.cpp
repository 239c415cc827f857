#include "client/URoutinesMessages.h"

namespace nv {

std::int32_t TraiteFileMessages(DWORD filtre) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        switch (ClasseMessage(msg.message, filtre)) {
        case SortMessage::Quitter:
            // Whoever runs the real message loop must still see the quit.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return kQuitteRecu;
        case SortMessage::Ecarter:
            break;
        case SortMessage::Distribuer:
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
            break;
        }
    }
    return 0;
}

} // namespace nv
