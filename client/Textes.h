// Every text that the client shows or names, in one place: Windows-1252
// bytes written with escapes so that the sources stay ASCII.
#pragma once

namespace nv::textes {

// Found by the installer and the uninstaller through this title.
inline constexpr char TitreFenetre[] = "Message d'alerte";
// Caption of the hidden owner window that stands for the application.
inline constexpr char TitreApplication[] = "Nivaxel";
inline constexpr char InfoBulle[] = "Nivaxel";

inline constexpr char PrefixeMutexGlobal[] = "Global\\Nivaxel";
inline constexpr char PrefixeMutexLocal[] = "Nivaxel";
inline constexpr char ParametreNomServeur[] = "NS=";

// Settings key and its values.
inline constexpr char CleParametres[] = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
inline constexpr char ValeurCacheIcone[] = "CacheIcone";
inline constexpr char ValeurNomServeur[] = "NomServeur";
inline constexpr char ValeurPort[] = "Port";

// Alert panel.
inline constexpr char Alerte[] = "Alerte";
inline constexpr char EnvoyePar[] = "Envoy\xE9 par";
inline constexpr char Le[] = "le";
inline constexpr char Objet[] = "Objet";
inline constexpr char Inconnu[] = "?";
inline constexpr char PrisConnaissance[] = "J'ai pris connaissance de ce message";
inline constexpr char Fermer[] = "Fermer";

// Menu panel.
inline constexpr char Nivaxel[] = "Nivaxel";
inline constexpr char Serveur[] = "Serveur";
inline constexpr char NomManquant[] = "Nom manquant dans BDR !";
inline constexpr char Decharger[] = "D\xE9" "charger ce programme";
inline constexpr char Version[] = "Ver 1.0";

// Unload question.
inline constexpr char Attention[] = "Attention";
inline constexpr char QuestionDecharger[] =
    "Attention, les alertes ne pourront plus s'afficher si vous d\xE9"
    "chargez ce programme de la m\xE9moire\n\nD\xE9"
    "charger quand m\xEAme ?";

} // namespace nv::textes
