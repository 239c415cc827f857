// The registry routines: read a string, write a string, read a 32-bit number.
// Each opens its own key, does one thing, closes the key and answers with a
// boolean; none raises. All go through CurrentRegistryApi() ("A" calls, 8-bit
// names and values). Everything here lives in namespace nv.
#pragma once

#include "common/WinTypes.h"

#include <string>

namespace nv {

// Windows code of the last registry call made by RegReadString,
// RegWriteString or RegWriteDword (0 = success); RegReadDword leaves it alone. Meant for the
// calling thread, read right after the call (no lock).
extern DWORD LastRegistryError;

// view64 adds KEY_WOW64_64KEY: the key is opened in the 64-bit view; without
// it, in the process's default view (the 32-bit one for a 32-bit program on
// 64-bit Windows).

// True when the value was read; `value` is then its bytes taken as 8-bit text
// (type not checked, one terminating byte dropped); on false it is empty.
bool RegReadString(HKEY root, const std::string& subKey, const std::string& valueName,
                   std::string& value, bool view64);

// The query step of RegReadString on a key that is already open: 512 bytes
// first, then one exact-size query for longer values. Returns the Windows
// code of its last query; `value` is empty unless that code is 0.
DWORD QueryStringValue(HKEY key, const std::string& valueName, std::string& value);

// Stores `value` as REG_SZ with its terminating NUL. With createKey the key
// and any missing parent are created; without, the key must exist.
bool RegWriteString(HKEY root, const std::string& subKey, bool createKey,
                    const std::string& valueName, const std::string& value, bool view64);

// Stores `value` as REG_DWORD, creating the key and any missing parent;
// sets LastRegistryError as RegWriteString does.
bool RegWriteDword(HKEY root, const std::string& subKey, const std::string& valueName, DWORD value,
                   bool view64);

// True only for a REG_DWORD value; on false `value` is 0.
bool RegReadDword(HKEY root, const std::string& subKey, const std::string& valueName, DWORD& value,
                  bool view64);

} // namespace nv
