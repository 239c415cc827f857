// The installer's file routines: the install folder with its parents, and a
// whole program file written from memory in one call, with the retries that
// an older installation needs. UTF-16 paths; every failure is a Windows
// error code (0 = success). All calls go through CurrentFileApiW().
#pragma once

#include "common/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace nv {

// Appended to a path to name the old file that WriteWholeFile moves aside.
inline constexpr std::u16string_view RenameAsideSuffix = u".DEL";

// The largest size WriteWholeFile accepts.
constexpr std::int64_t kMaxWholeFileSize = 0x7FFFFFFF;

// Attribute bits, or INVALID_FILE_ATTRIBUTES. A drive root in long form
// ("\\?\C:" or "\\?\C:\") is asked for without its prefix.
DWORD GetFileAttributesLong(const std::u16string& path);

// A folder that is not a reparse point (junctions and links do not count).
bool DirectoryExistsW(const std::u16string& path);

// Creates the folder and its missing parents: 0, 3 for an empty path, or the
// code of the CreateDirectoryW that failed.
DWORD CreateFolderPath(const std::u16string& path);

// Replaces the file with `size` bytes of `data`. 0: the file holds exactly
// the data (and the times, when a last-write time is given). A failed write
// leaves no file; a failed open leaves the old file (bar its read-only bit,
// or moved to path + RenameAsideSuffix when `renameAside`); a size above
// kMaxWholeFileSize (24) or missing data (87) touches nothing.
DWORD WriteWholeFile(const std::u16string& path, const void* data, bool renameAside,
                     std::int64_t size, DWORD flagsAndAttributes, const FILETIME* lastWrite,
                     const FILETIME* creation, const FILETIME* lastAccess);

} // namespace nv
