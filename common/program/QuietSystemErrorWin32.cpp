// The thread, mutex and condition variable failure path of the programs,
// apart from the others because it replaces a member of libstdc++ that
// defines more than this function: should anything else of that member be
// needed (iostreams, error categories), the link fails with a multiple
// definition, and this file has to go. The programs use neither.
#include "common/program/QuietRuntime.h"

namespace std {
void __throw_system_error(int) { nv::detail::EndOnRuntimeFailure(); }
} // namespace std
