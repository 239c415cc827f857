// The installer's texts, Windows-1252, single line feeds. Escapes are closed
// before any letter that could extend them ("\xE9" "ant").
#pragma once

namespace nv::texts {

inline constexpr char kProgramFolderMissing[] =
    "R\xE9" "pertoire d'installation des programmes non trouv\xE9";
inline constexpr char kServerNameMissing[] =
    "Il manque le nom du serveur VESKA capable d'envoyer des alertes";
inline constexpr char kProbeFailed[] =
    "Un test de connexion au serveur vient d'\xEA" "tre fait et n'a pas r\xE9" "ussi.\n";
inline constexpr char kProbeFailedGoingOn[] =
    "L'installation va continuer mais le programme Nivaxel risque de ne pas fonctionner "
    "correctement.";
inline constexpr char kFolderError[] = "Erreur en cr\xE9" "ant le r\xE9" "pertoire ";
inline constexpr char kCopyError[] = "Erreur en copiant le programme.\n";
inline constexpr char kRunKeyError[] = "Erreur en modifiant la cl\xE9" " Run\n";
inline constexpr char kRunKeyProgram[] = "Le programme ";
inline constexpr char kRunKeyConsequence[] =
    " risque de ne pas d\xE9" "marrer lors des ouvertures de session.";
inline constexpr char kNotStarted[] =
    "Le programme a \xE9" "t\xE9" " install\xE9" " mais il n'a pas \xE9" "t\xE9" " ex\xE9" "cut\xE9"
    ".\n";
inline constexpr char kInstalled[] = "Le programme a bien \xE9" "t\xE9" " install\xE9" ".";

// Lines of the silent mode's log (no window shows them).
inline constexpr char kPortNotWritten[] = "Erreur en \xE9" "crivant le port\n";
inline constexpr char kPackageOwnsEntry[] =
    "Nivaxel est install\xE9" " par son paquet MSI : sa d\xE9" "sinstallation reste celle du paquet.";
inline constexpr char kUnknownSwitch[] = "Option inconnue : ";
inline constexpr char kArgumentsNotInCodePage[] =
    "Caract\xE8" "res hors de la page de code Windows : ";
inline constexpr char kSilentSwitchMissing[] = "Option /S absente";
inline constexpr char kBadPort[] = "Port invalide : ";
inline constexpr char kPortFallback[] =
    "Port hors de 5000 \xE0" " 65534 : \xE9" "crit tel quel, le client utilisera 5088.";
inline constexpr char kExitCode[] = "Code de sortie : ";

// The main window: caption, controls, and the three lines of its information text.
inline constexpr char kFormCaption[] = "Installation de Nivaxel";
inline constexpr char kLabelServerName[] = "Nom du serveur VESKA";
inline constexpr char kButtonInstall[] = "Install";
inline constexpr char kButtonCancel[] = "Annuler";
inline constexpr char kInfoLine1[] =
    "Ce programme va installer et ex\xE9" "cuter Nivaxel sur cette station.";
inline constexpr char kInfoLine2[] =
    "Nivaxel sera ensuite ex\xE9" "cut\xE9" " automatiquement d\xE8" "s qu'une session sera ouverte.";
inline constexpr char kInfoLine3[] =
    "Nivaxel se connecte au serveur VESKA et attend que celui-ci envoie une alerte.";

} // namespace nv::texts
