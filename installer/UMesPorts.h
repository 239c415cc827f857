// The server port, one process-wide value: 5088 until the main window's
// creation reads the settings; the install sequence hands it to the probe.
#pragma once

#include "common/WinTypes.h"

namespace nv {

constexpr WORD kDefaultServerPort = 5088;

extern WORD ServerPort;

} // namespace nv
