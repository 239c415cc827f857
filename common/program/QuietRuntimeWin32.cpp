// Linked into each of the three programs as an object of its own (never
// through a library, so the linker cannot prefer the run-time library's
// definitions): the C++ run-time's failure paths, for programs built
// without exceptions.
//
// The library's own versions throw, which drags in the exception runtime,
// its unwinder and thread-safe statics over winpthread, and, for the ones
// with a message, both string implementations and std::system_error. None
// of these failures can come from what the network or a file says (such
// sizes are allocated with new (std::nothrow) and answered with a code), so
// reaching one means the program cannot go on: it ends at once, with an
// exit code that says why.
#include "common/program/QuietRuntime.h"

#include <windows.h>

#include <cstdlib>
#include <new>

void nv::detail::EndOnRuntimeFailure() {
    ::ExitProcess(kExitRuntimeFailure);
}

void nv::detail::EndOnMemoryShortage() {
    ::ExitProcess(kExitMemoryShortage);
}

namespace {
using nv::detail::EndOnMemoryShortage;
using nv::detail::EndOnRuntimeFailure;
} // namespace

// Never throws: a small fixed allocation that fails ends the program.
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1))
        return p;
    EndOnMemoryShortage();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

// Without the verbose handler, whose demangler alone would add about 80 KB.
namespace __gnu_cxx {
void __verbose_terminate_handler() { EndOnRuntimeFailure(); }
} // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() { EndOnMemoryShortage(); }
void __throw_bad_array_new_length() { EndOnMemoryShortage(); }
void __throw_length_error(const char*) { EndOnMemoryShortage(); }

void __throw_bad_cast() { EndOnRuntimeFailure(); }
void __throw_bad_typeid() { EndOnRuntimeFailure(); }
void __throw_bad_exception() { EndOnRuntimeFailure(); }
void __throw_bad_function_call() { EndOnRuntimeFailure(); }
void __throw_logic_error(const char*) { EndOnRuntimeFailure(); }
void __throw_domain_error(const char*) { EndOnRuntimeFailure(); }
void __throw_invalid_argument(const char*) { EndOnRuntimeFailure(); }
void __throw_out_of_range(const char*) { EndOnRuntimeFailure(); }
void __throw_out_of_range_fmt(const char*, ...) { EndOnRuntimeFailure(); }
void __throw_runtime_error(const char*) { EndOnRuntimeFailure(); }
void __throw_range_error(const char*) { EndOnRuntimeFailure(); }
void __throw_overflow_error(const char*) { EndOnRuntimeFailure(); }
void __throw_underflow_error(const char*) { EndOnRuntimeFailure(); }

} // namespace std
