// The fields of one alert, read from the text block of an Alerte frame.
// Text stays in the workstation's ANSI code page, byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nv {

struct AlerteTexte {
    std::string Auteur;              // [name]
    std::string Date;                // D=, free text, never parsed
    std::string Sujet;               // O=
    std::string Identifiant;         // I=, kept but neither shown nor sent back
    std::vector<std::string> Lignes; // M=, one per body line, in order
};

// Author, date, subject and identifier take their last occurrence; lines of
// two characters or fewer and unknown or lower-case fields are ignored.
AlerteTexte LitAlerteTexte(const char* bloc, std::size_t taille);

} // namespace nv
