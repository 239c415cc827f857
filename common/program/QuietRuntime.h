// How the programs end when the C++ run-time fails (QuietRuntimeWin32.cpp).
#pragma once

namespace nv {

// Exit codes: ERROR_NOT_ENOUGH_MEMORY, and ERROR_INTERNAL_ERROR for a
// library failure that the code never expects (an index out of range, a
// thread primitive that fails).
constexpr unsigned kExitMemoryShortage = 8;
constexpr unsigned kExitRuntimeFailure = 1359;

namespace detail {
[[noreturn]] void EndOnRuntimeFailure();
[[noreturn]] void EndOnMemoryShortage();
} // namespace detail

} // namespace nv
