#include "common/Fil.h"

#include <windows.h>

namespace nv {

namespace {

DWORD WINAPI Lance(void* fil) {
    Fil::Execute(fil);
    return 0;
}

} // namespace

bool Fil::Demarre(Routine routine, void* contexte) {
    if (poignee_)
        return false;
    routine_ = routine;
    contexte_ = contexte;
    poignee_ = ::CreateThread(nullptr, 0, Lance, this, 0, nullptr);
    return poignee_ != nullptr;
}

void Fil::Attend() {
    if (!poignee_)
        return;
    ::WaitForSingleObject(poignee_, INFINITE);
    ::CloseHandle(poignee_);
    poignee_ = nullptr;
}

} // namespace nv
