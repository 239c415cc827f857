#include "client/URoutinesMessages.h"

namespace nv {

// No window system here, so no queue to pump.
std::int32_t TraiteFileMessages(DWORD) {
    return 0;
}

} // namespace nv
