// The uninstaller's 8-bit file routines. None of them raises or reports.
#pragma once

#include <string>

namespace nv {

// True when the folder exists and holds nothing but "." and "..".
bool IsFolderEmpty(const std::string& folder);

// Renames the running program aside (".old", or ".bad" when it already is
// ".old") and has Windows delete it at the next restart.
void RemoveSelfAtReboot(const std::string& ownFileName);

// The name with its extension (from the last '.' after the last '\' or ':')
// replaced by `extension`, or with `extension` appended when it has none.
std::string ChangeFileExt(const std::string& fileName, const std::string& extension);

} // namespace nv
