#include "installer/UMonWinSock.h"

#include "common/WinSockLib.h"

#include <optional>

namespace nv {
namespace {
std::optional<WinSockStartup>& Unit() {
    static std::optional<WinSockStartup> unit;
    return unit;
}
} // namespace

void MonWinSockStartup() {
    if (!Unit())
        Unit().emplace(CurrentLibraryApi()).Startup();
}

void MonWinSockFinalize() { Unit().reset(); }

bool WinSockStarted() { return Unit() && Unit()->Started(); }

} // namespace nv
