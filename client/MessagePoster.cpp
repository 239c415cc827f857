#include "client/MessagePoster.h"

#include <cstdlib>

namespace nv {

void* AlloueBlocAlerte(std::size_t taille) {
    return std::malloc(taille);
}

void LibereBlocAlerte(LPARAM bloc) {
    std::free(reinterpret_cast<void*>(bloc));
}

} // namespace nv
