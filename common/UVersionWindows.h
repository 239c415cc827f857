// The version unit: which Windows this is (one code, worked out once at
// start-up), whether the program runs as a 32-bit process on 64-bit Windows,
// and the system folders. All strings are 8-bit (ANSI); nothing here raises
// or shows anything. Everything lives in namespace nv; the system calls go
// through CurrentVersionApi() and the registry routines of UBdr.h.
#pragma once

#include "common/WinTypes.h"

#include <string>

namespace nv {

// The Windows version codes. XP and later are >= 0x80, Vista and later (servers
// included) >= 0x800; the Windows 10 rows are 0x100000 plus a release index.
namespace winver {
constexpr DWORD Win95 = 0x1, Win98 = 0x2, WinMe = 0x4, WinNT4 = 0x8;
constexpr DWORD Win2000Pro = 0x20, Win2000DC = 0x40, WinXP = 0x80, WinXP64 = 0x100;
constexpr DWORD Server2003 = 0x200, Server2003DC = 0x400, Vista = 0x800;
constexpr DWORD Server2008 = 0x1000, Server2008DC = 0x4000, Win7 = 0x8000;
constexpr DWORD Win8 = 0x10000, Win81 = 0x20000, Server2012 = 0x40000, Server2012DC = 0x80000;
constexpr DWORD Win10 = 0x100000, Win10_1607 = 0x100001, Win10_1703 = 0x100002;
constexpr DWORD Win10_1803 = 0x100004, Win10_1809 = 0x100005;
constexpr DWORD Server2016 = 0x800000, Server2016DC = 0x1000000;
constexpr DWORD ServerLater = 0x2000000, ServerLaterDC = 0x4000000;
} // namespace winver

// Set once by VersionUnitStartup and then fixed for the life of the process.
extern DWORD WindowsVersionCode; // 0 until classified, or when no row applies
extern bool IsWow64;             // a 32-bit process on 64-bit Windows

// The unit start-up: ClassifyWindowsVersion, then DetectWow64. Programs call
// it first thing, before any window exists.
void VersionUnitStartup();
// The unit shutdown: empties the kept ReleaseId text and the folder caches.
void VersionUnitShutdown();
// For tests: forgets everything, as in a new process (code, IsWow64, product
// type, ReleaseId, folders).
void ResetVersionUnit();

void ClassifyWindowsVersion(); // sets WindowsVersionCode
void DetectWow64();            // sets IsWow64
bool IsXpOrLater();            // WindowsVersionCode >= 0x80
BYTE GetProductType();         // 1 workstation, 2 domain controller, 3 server; 0 unreadable
// "ProductName" of the system's version key (default view); empty when missing.
void GetProductName(std::string& name);
// The FileVersion text of a file's version resource, as major.minor.build.
// Answers 0, or the failure's Windows code (1 when Windows gave none) with
// all three numbers 0.
DWORD GetFileVersion(const std::string& path, int& major, int& minor, int& build);
// Without a trailing backslash; "C:\WINDOWS" and "C:\Windows\System32" when
// they cannot be found (not kept, so the next call tries again).
void GetWindowsFolder(std::string& folder);
void GetSystemFolder(std::string& folder);
// The text with its environment variables expanded; empty when the expansion
// fails or changes nothing.
void ExpandEnvironmentText(const std::string& text, std::string& expanded);

// The ReleaseId text the classification kept (4 characters, or empty).
const std::string& KeptReleaseId();

} // namespace nv
