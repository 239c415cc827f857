#include "client/AlerteTexte.h"

#include "client/URoutinesChaines.h"

namespace nv {

namespace {

void AppliqueLigne(AlerteTexte& alerte, const std::string& ligne) {
    if (ligne.size() <= 2)
        return;
    if (ligne.front() == '[' && ligne.back() == ']') {
        alerte.Auteur = ligne.substr(1, ligne.size() - 2);
        return;
    }
    if (ligne[1] != '=')
        return;
    std::string valeur = ligne.substr(2);
    switch (ligne[0]) {
    case 'D':
        alerte.Date = std::move(valeur);
        break;
    case 'I':
        alerte.Identifiant = std::move(valeur);
        break;
    case 'M':
        alerte.Lignes.push_back(std::move(valeur));
        break;
    case 'O':
        alerte.Sujet = std::move(valeur);
        break;
    default:
        break;
    }
}

} // namespace

AlerteTexte LitAlerteTexte(const char* bloc, std::size_t taille) {
    AlerteTexte alerte;
    std::size_t position = 0;
    std::string ligne;
    while (LigneSuivante(bloc, taille, position, ligne))
        AppliqueLigne(alerte, ligne);
    return alerte;
}

} // namespace nv
