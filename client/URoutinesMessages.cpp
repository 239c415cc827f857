#include "client/URoutinesMessages.h"

namespace nv {

bool PompeMessagesEnEnvoi = true;

SortMessage ClasseMessage(UINT message, DWORD filtre) {
    constexpr UINT kQuit = 0x0012;
    if (message == kQuit)
        return SortMessage::Quitter;
    if ((filtre & kFiltreClavier) && message >= 0x0100 && message <= 0x0109)
        return SortMessage::Ecarter;
    if ((filtre & kFiltreSouris) && message >= 0x0200 && message <= 0x020A)
        return SortMessage::Ecarter;
    return SortMessage::Distribuer;
}

} // namespace nv
