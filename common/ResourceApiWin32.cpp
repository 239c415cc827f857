#include "common/ResourceApi.h"

namespace nv {

namespace {

class Win32Resources final : public ResourceApi {
  public:
    HRSRC FindResourceA(HMODULE module, const char* name, const char* type) override {
        return ::FindResourceA(module, name, type);
    }
    DWORD SizeofResource(HMODULE module, HRSRC resource) override {
        return ::SizeofResource(module, resource);
    }
    HGLOBAL LoadResource(HMODULE module, HRSRC resource) override {
        return ::LoadResource(module, resource);
    }
    const void* LockResource(HGLOBAL data) override { return ::LockResource(data); }
};

} // namespace

template <> ResourceApi& detail::DefaultApi<ResourceApi>() {
    static Win32Resources api;
    return api;
}

} // namespace nv
