// The client's start-up rules and small arithmetic, free of any window:
// the close permission, the single-instance name, the settings and the
// placement of the menu and of the alert panel.
#pragma once

#include "common/Clock.h"
#include "common/WinTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nv {

constexpr std::uint16_t PortParDefaut = 5088;
constexpr DWORD DureePermissionFermeture = 20000; // ms

// The client's server port (its copy of the installer's UMesPorts value):
// 5088 until the settings are read, then read by the connection's start.
extern std::uint16_t PortServeur;

// Closing the window ends the program, so it is refused unless granted
// within the last 20 s (WM_ENDSESSION or a confirmed unload).
class ClosePermission {
public:
    explicit ClosePermission(Clock& clock) : clock_(clock) {}
    void Grant();
    // Allowed while the grant runs; an expired grant is forgotten.
    bool Check();
    DWORD Stamp() const { return stamp_; }

private:
    Clock& clock_;
    DWORD stamp_ = 0; // 0: not granted
};

// "Global\Nivaxel" + user from version code 0x800 on, else "Nivaxel" + user.
std::string MutexName(DWORD windowsVersionCode, const std::string& userName);

// The parameters after the program's name, split as the toolkit does:
// blanks (any byte up to the space) separate them, double quotes group
// blanks and are dropped.
std::vector<std::string> SplitCommandLine(const char* commandLine);

struct ClientSettings {
    bool iconWanted = true;
    std::string serverName;
    std::uint16_t port = PortParDefaut;
};

// The rules applied to the raw values (a missing or mistyped DWORD is 0).
bool IconWantedFrom(DWORD cacheIcone);
std::string ServerNameFrom(const std::string& nomServeur, const std::vector<std::string>& params);
std::uint16_t PortFrom(DWORD port);

// Reads CacheIcone, NomServeur and Port from the settings key (the
// process's default view) in that order, applies the rules and stores the
// port in PortServeur.
ClientSettings ReadClientSettings(const std::vector<std::string>& params);

struct Rect {
    LONG left = 0, top = 0, right = 0, bottom = 0;
};
struct Point {
    LONG x = 0, y = 0;
};

// The bottom-right corner of a width x height window meets the work area's.
Point MenuPosition(const Rect& workArea, int width, int height);
// One coordinate of a panel centred on the screen: truncated, never negative.
int CentredOffset(int screenExtent, int panelExtent);

} // namespace nv
