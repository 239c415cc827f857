#include "installer/UMesPorts.h"

namespace nv {

WORD ServerPort = kDefaultServerPort;

} // namespace nv
