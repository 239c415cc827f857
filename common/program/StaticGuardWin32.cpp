// The guard of function-local statics, linked into each program as an
// object of its own. The run-time library's version waits on winpthread's
// mutex and condition variable and throws on their failures, which pulled
// winpthread and the whole exception runtime into every program, the ones
// without a thread too. Here: one process-wide lock, taken only while some
// static is being built, and re-entrant, since building one static may
// build another.
#include <windows.h>

#include <cstdint>

namespace {

SRWLOCK g_verrou = SRWLOCK_INIT;
DWORD g_proprietaire = 0; // the thread building statics; 0 when none
unsigned g_profondeur = 0; // its nested constructions, under g_verrou

bool Construit(const std::uint64_t* garde) {
    return __atomic_load_n(reinterpret_cast<const char*>(garde), __ATOMIC_ACQUIRE) != 0;
}

void Prend() {
    const DWORD moi = ::GetCurrentThreadId();
    if (__atomic_load_n(&g_proprietaire, __ATOMIC_RELAXED) != moi) {
        ::AcquireSRWLockExclusive(&g_verrou);
        __atomic_store_n(&g_proprietaire, moi, __ATOMIC_RELAXED);
    }
    ++g_profondeur;
}

void Relache() {
    if (--g_profondeur == 0) {
        __atomic_store_n(&g_proprietaire, 0, __ATOMIC_RELAXED);
        ::ReleaseSRWLockExclusive(&g_verrou);
    }
}

} // namespace

extern "C" {

// 1: the caller builds the static, then calls release (or abort).
int __cxa_guard_acquire(std::uint64_t* garde) {
    if (Construit(garde))
        return 0;
    Prend();
    if (Construit(garde)) {
        Relache();
        return 0;
    }
    return 1;
}

void __cxa_guard_release(std::uint64_t* garde) {
    __atomic_store_n(reinterpret_cast<char*>(garde), 1, __ATOMIC_RELEASE);
    Relache();
}

void __cxa_guard_abort(std::uint64_t*) {
    Relache();
}

} // extern "C"
