#include "common/Fil.h"

#include <new>
#include <thread>

namespace nv {

bool Fil::Demarre(Routine routine, void* contexte) {
    if (poignee_)
        return false;
    routine_ = routine;
    contexte_ = contexte;
    try {
        poignee_ = new std::thread(&Fil::Execute, this);
    } catch (...) {
        poignee_ = nullptr; // no thread to be had
    }
    return poignee_ != nullptr;
}

void Fil::Attend() {
    auto* fil = static_cast<std::thread*>(poignee_);
    if (!fil)
        return;
    fil->join();
    delete fil;
    poignee_ = nullptr;
}

} // namespace nv
