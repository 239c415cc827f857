// Cutting the alert text into lines.
#pragma once

#include <cstddef>
#include <string>

namespace nv {

// Gives the line that starts at `position` and moves `position` past it.
// A CR ends a line and the byte after it is skipped whatever it is; a NUL
// ends the whole text. False when no line is left.
bool LigneSuivante(const char* bloc, std::size_t taille, std::size_t& position, std::string& ligne);

} // namespace nv
