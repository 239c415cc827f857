// Windows test programs only. Wine answers OutputDebugStringA by raising an
// exception, and 32-bit Wine under qemu-user dies dispatching it; GoogleTest
// calls it for every failure and skip, so a failing test would crash instead
// of reporting. The import slot is pointed at a routine that does nothing.
#include <windows.h>

namespace {
void WINAPI Quiet(LPCSTR) {}
} // namespace

#if defined(__i386__)
extern "C" void(WINAPI* const nv_quiet_ods)(LPCSTR) __asm__("__imp__OutputDebugStringA@4") = Quiet;
#else
extern "C" void(WINAPI* const nv_quiet_ods)(LPCSTR) __asm__("__imp_OutputDebugStringA") = Quiet;
#endif
