// Access to the running program's own RT_RCDATA resources, behind an
// interface so that the payload reader runs against in-memory resources in
// tests and away from Windows.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <cstdint>

namespace nv {

// RT_RCDATA as the integer resource type that FindResourceA expects.
inline const char* RcDataType() {
    return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(10));
}

class ResourceApi {
  public:
    virtual ~ResourceApi() = default;
    // A null module means the running program's own image.
    virtual HRSRC FindResourceA(HMODULE module, const char* name, const char* type) = 0;
    virtual DWORD SizeofResource(HMODULE module, HRSRC resource) = 0;
    virtual HGLOBAL LoadResource(HMODULE module, HRSRC resource) = 0;
    // The resource's bytes where they lie, read-only, valid while the module is loaded.
    virtual const void* LockResource(HGLOBAL data) = 0;
};

namespace detail {
template <> ResourceApi& DefaultApi<ResourceApi>(); // per platform
}

// Win32 on Windows; on Linux a process-wide empty set of in-memory resources.
inline ResourceApi& CurrentResourceApi() { return CurrentApi<ResourceApi>(); }

using ScopedResourceApi = ScopedApi<ResourceApi>;

} // namespace nv
