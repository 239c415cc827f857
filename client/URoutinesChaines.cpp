#include "client/URoutinesChaines.h"

namespace nv {

bool LigneSuivante(const char* bloc, std::size_t taille, std::size_t& position,
                   std::string& ligne) {
    if (!bloc || position >= taille)
        return false;
    const std::size_t debut = position;
    for (std::size_t i = debut; i < taille; ++i) {
        if (bloc[i] == '\0') {
            position = taille;
            if (i == debut)
                return false;
            ligne.assign(bloc + debut, i - debut);
            return true;
        }
        if (bloc[i] == '\r') {
            ligne.assign(bloc + debut, i - debut);
            position = i + 2;
            return true;
        }
    }
    ligne.assign(bloc + debut, taille - debut);
    position = taille;
    return true;
}

} // namespace nv
