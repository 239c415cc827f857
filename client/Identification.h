// The workstation's computer and user names, behind the two Win32 calls that
// give them, so that tests can choose the names and make either call fail.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <string>

namespace nv {

class IdentificationApi {
  public:
    virtual ~IdentificationApi() = default;
    // As the Win32 calls: TRUE on success, *size in and out as they define it.
    virtual BOOL GetComputerNameA(char* buffer, DWORD* size) = 0;
    virtual BOOL GetUserNameA(char* buffer, DWORD* size) = 0;
};

// Names held in memory for tests; a name too long for the caller's buffer,
// or computerFails/userFails, makes the call fail as the system's would.
class MemoryIdentificationApi : public IdentificationApi {
  public:
    MemoryIdentificationApi(std::string computer, std::string user)
        : computer_(std::move(computer)), user_(std::move(user)) {}
    BOOL GetComputerNameA(char* buffer, DWORD* size) override;
    BOOL GetUserNameA(char* buffer, DWORD* size) override;

    bool computerFails = false;
    bool userFails = false;

  private:
    std::string computer_;
    std::string user_;
};

namespace detail {
template <> IdentificationApi& DefaultApi<IdentificationApi>(); // per platform
}

// The Win32 calls on Windows; on Linux an in-memory instance holding the
// host name and $USER.
inline IdentificationApi& CurrentIdentificationApi() { return CurrentApi<IdentificationApi>(); }

using ScopedIdentificationApi = ScopedApi<IdentificationApi>;

// GetComputerNameA with 16 bytes (at most 15 characters); empty on failure.
std::string NomOrdinateur();
// GetUserNameA with 256 bytes; empty on failure.
std::string NomUtilisateur();
// "NS=" computer CR LF "NU=" user, no line end after the user name.
std::string TexteIdentification();

} // namespace nv
