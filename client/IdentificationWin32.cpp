#include "client/Identification.h"

namespace nv {

namespace {
class Win32IdentificationApi : public IdentificationApi {
  public:
    BOOL GetComputerNameA(char* buffer, DWORD* size) override {
        return ::GetComputerNameA(buffer, size);
    }
    BOOL GetUserNameA(char* buffer, DWORD* size) override { return ::GetUserNameA(buffer, size); }
};
} // namespace

template <> IdentificationApi& detail::DefaultApi<IdentificationApi>() {
    static Win32IdentificationApi api;
    return api;
}

} // namespace nv
