// The client speaks Windows-1252; the command line and the JSON speak UTF-8.
#pragma once

#include <string>
#include <vector>

namespace nvserver {

// Characters outside Windows-1252, and malformed UTF-8, become '?'; each
// such character is listed once in `missing` (as UTF-8) when it is given.
std::string Utf8ToCp1252(const std::string& utf8, std::vector<std::string>* missing = nullptr);
// The five bytes that Windows-1252 leaves undefined map to the C1 controls.
std::string Cp1252ToUtf8(const std::string& text);

} // namespace nvserver
