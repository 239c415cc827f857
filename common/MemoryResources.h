// In-memory resources of a pretend module: named RT_RCDATA blobs, found by
// name without regard to ASCII case as Windows does, each step able to fail.
#pragma once

#include "common/ResourceApi.h"

#include <map>
#include <string>

namespace nv {

class MemoryResources final : public ResourceApi {
  public:
    enum class Op { FindResource, LoadResource, LockResource };

    void Add(const std::string& name, std::string bytes);
    void Remove(const std::string& name);
    // Every later call of `op` fails (answers null) until cleared.
    void Fail(Op op, bool fail = true);
    // Where the bytes of a resource lie, to check that readers use them in place.
    const void* Address(const std::string& name) const;
    unsigned Calls(Op op) const { return calls_[static_cast<int>(op)]; }

    HRSRC FindResourceA(HMODULE module, const char* name, const char* type) override;
    DWORD SizeofResource(HMODULE module, HRSRC resource) override;
    HGLOBAL LoadResource(HMODULE module, HRSRC resource) override;
    const void* LockResource(HGLOBAL data) override;

  private:
    struct Blob {
        std::string bytes;
    };
    static std::string Key(const std::string& name);
    const Blob* FromHandle(HRSRC resource) const;

    std::map<std::string, Blob> blobs_;
    bool fail_[3] = {false, false, false};
    unsigned calls_[3] = {0, 0, 0};
};

} // namespace nv
