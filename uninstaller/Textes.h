// Every text of the uninstaller and the names it works on, Windows-1252 bytes.
#pragma once

namespace nv::textes {

inline constexpr char kCaption[] = "D\xE9"
                                   "sinstallation de Nivaxel";
inline constexpr char kLabel1[] =
    "Apr\xE8"
    "s d\xE9"
    "sinstallation vous ne recevrez plus les alertes du serveur VESKA.";
inline constexpr char kButtonDesinstaller[] = "D\xE9"
                                              "sinstaller...";
inline constexpr char kButtonAnnuler[] = "Annuler";
inline constexpr char kConfirmationCaption[] = "Confirmation";
// Kept as the product has always spelt it.
inline constexpr char kConfirmation[] = "Veuillez confirmer la d\xE9"
                                        "installation de Nivaxel";

// Lines of the silent mode's log.
inline constexpr char kUnknownSwitch[] = "Option inconnue : ";
inline constexpr char kSilentSwitchMissing[] = "Option /S absente";
inline constexpr char kUninstalled[] = "Nivaxel a \xE9" "t\xE9" " d\xE9" "sinstall\xE9" ".";
inline constexpr char kClientLeft[] = "Fichier non supprim\xE9" " (programme en cours d'ex\xE9" "cution ?) : ";
inline constexpr char kExitCode[] = "Code de sortie : ";

inline constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunValue[] = "Nivaxel";
inline constexpr char kSettingsKey[] = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
inline constexpr char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel";
inline constexpr char kProgramFilesVariable[] = "%ProgramFiles%";
inline constexpr char kVendorFolder[] = "\\meridale";
inline constexpr char kClientFolder[] = "\\Nivaxel";
inline constexpr char kClientFile[] = "\\Nivaxel.exe";

} // namespace nv::textes
