// The uninstaller's registry routines: remove a value, a key, a whole tree,
// in the default or the 64-bit view. None of them raises or reports.
#pragma once

#include "common/WinTypes.h"

#include <string>

namespace nv {

// True unless the value existed and could not be deleted.
bool RegRemoveValue(HKEY root, const std::string& subKey, const std::string& valueName,
                    bool view64);

// 0 when everything below the key was removed (a missing key counts as
// removed); the key itself is then deleted, whatever that deletion answers.
DWORD RegRemoveKeyTree(HKEY root, const std::string& subKey, bool view64);

// Deletes one key that has no sub-keys; in the 64-bit view through its parent,
// since RegDeleteKeyA alone cannot name a view.
DWORD RegRemoveKey(HKEY root, const std::string& subKey, bool view64);

} // namespace nv
