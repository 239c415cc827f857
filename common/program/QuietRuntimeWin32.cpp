// Linked into each of the three programs as an object of its own (never
// through a library, so the linker cannot prefer the run-time library's
// definitions): the C++ run-time's failure paths without the parts of
// libstdc++ they drag in.
//
// The library's own versions build exception objects that carry a
// std::string message: that pulls in both string implementations, the
// exception classes' message machinery, std::system_error and its
// categories, about 85 KB per program for texts nobody reads. The programs
// catch every exception they expect with catch (...) and never read what(),
// so these throw at the same points, only lighter objects. Nothing here
// aborts where the library threw: a failed thread creation or allocation is
// still an exception the caller handles.
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace nv::detail {
[[noreturn]] void ThrowRuntimeFailure();
}

namespace {

struct RuntimeFailure : std::exception {
    const char* what() const noexcept override { return "runtime failure"; }
};

[[noreturn]] void Fail() { nv::detail::ThrowRuntimeFailure(); }

} // namespace

void nv::detail::ThrowRuntimeFailure() { throw RuntimeFailure(); }

// Nothing may throw out of the programs; should it happen anyway, end
// without the verbose handler, whose demangler alone would add about 80 KB.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
} // namespace __gnu_cxx

namespace std {

// The types without a message keep their own class.
void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
void __throw_bad_cast() { throw std::bad_cast(); }
void __throw_bad_typeid() { throw std::bad_typeid(); }
void __throw_bad_exception() { throw std::bad_exception(); }

void __throw_logic_error(const char*) { Fail(); }
void __throw_domain_error(const char*) { Fail(); }
void __throw_invalid_argument(const char*) { Fail(); }
void __throw_length_error(const char*) { Fail(); }
void __throw_out_of_range(const char*) { Fail(); }
void __throw_out_of_range_fmt(const char*, ...) { Fail(); }
void __throw_runtime_error(const char*) { Fail(); }
void __throw_range_error(const char*) { Fail(); }
void __throw_overflow_error(const char*) { Fail(); }
void __throw_underflow_error(const char*) { Fail(); }

} // namespace std
