// The uninstaller's file and its entry in Windows' list of installed
// programs, written at the end of a successful install.
#pragma once

#include <string>

namespace nv {

inline constexpr char kUninstallerExeName[] = "UninstallNivaxel.exe";
inline constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel";
inline constexpr char kDisplayName[] = "Nivaxel";
inline constexpr char kPublisher[] = "MERIDALE";
inline constexpr char kPublisherUrl[] = "https://www.meridale.example/nivaxel";

// Where the uninstaller goes: the Windows folder's SysWOW64 for a 32-bit
// process on 64-bit Windows when that folder exists, else the system folder.
std::string UninstallerFolder();

// Windows Installer's record of the package's upgrade code (packed form of
// {859002BF-528F-5849-A8E7-9CAA04BD5744}), in the 64-bit view.
inline constexpr char kPackageUpgradeKey[] =
    "SOFTWARE\\Classes\\Installer\\UpgradeCodes\\FB200958F82594858A7EC9AA40DB7544";

// True when a version of the MSI package is installed on the machine.
bool PackageInstalled();

// Writes the uninstaller (with its container's time stamp) and the
// Uninstall key's four values. True when the file was written and every
// value stored. A payload that cannot be read whole writes and registers
// nothing. Never shows anything.
bool EnregistreDesinstallation();

} // namespace nv
