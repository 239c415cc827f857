// The client speaks Windows-1252; the command line and the JSON speak UTF-8.
#pragma once

#include <string>

namespace alertsrv {

// Characters outside Windows-1252, and malformed UTF-8, become '?'.
std::string Utf8ToCp1252(const std::string& utf8);
// The five bytes that Windows-1252 leaves undefined map to the C1 controls.
std::string Cp1252ToUtf8(const std::string& text);

} // namespace alertsrv
