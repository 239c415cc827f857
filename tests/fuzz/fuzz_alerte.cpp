// The alert-text reader over any bytes: never a crash or an over-read, and
// what it gives back could only have come from the text.
#include "client/AlerteTexte.h"
#include "client/URoutinesChaines.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool Propre(const std::string& s) {
    return s.find('\r') == std::string::npos && s.find('\0') == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    const char* texte = reinterpret_cast<const char*>(bytes);

    std::size_t position = 0, total = 0, lignes = 0;
    std::string ligne;
    while (nv::LigneSuivante(texte, length, position, ligne)) {
        Check(Propre(ligne));
        total += ligne.size();
        Check(total <= length);
        Check(++lignes <= length);
    }
    Check(position >= length);

    const nv::AlerteTexte a = nv::LitAlerteTexte(texte, length);
    for (const std::string* champ : {&a.Auteur, &a.Date, &a.Sujet, &a.Identifiant}) {
        Check(Propre(*champ));
        Check(champ->size() <= length);
    }
    for (const std::string& l : a.Lignes) {
        Check(Propre(l));
        Check(!l.empty()); // "M=" alone is dropped
    }
    if (!a.Auteur.empty())
        Check(std::memchr(texte, '[', length) != nullptr);
    return 0;
}
