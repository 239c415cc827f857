#include "client/Identification.h"

#include <cstring>

namespace nv {

namespace {

BOOL CopieNom(const std::string& nom, char* buffer, DWORD* size, DWORD longueurRendue) {
    if (!buffer || !size || nom.size() + 1 > *size) {
        if (size)
            *size = static_cast<DWORD>(nom.size() + 1);
        return FALSE;
    }
    std::memcpy(buffer, nom.c_str(), nom.size() + 1);
    *size = longueurRendue;
    return TRUE;
}

std::string LitNom(char* buffer, DWORD capacite, bool ok) {
    if (!ok)
        return std::string();
    std::size_t n = 0;
    while (n + 1 < capacite && buffer[n] != '\0')
        ++n;
    return std::string(buffer, n);
}

} // namespace

// GetComputerNameA reports the length without the NUL, GetUserNameA with it.
BOOL MemoryIdentificationApi::GetComputerNameA(char* buffer, DWORD* size) {
    if (computerFails)
        return FALSE;
    return CopieNom(computer_, buffer, size, static_cast<DWORD>(computer_.size()));
}

BOOL MemoryIdentificationApi::GetUserNameA(char* buffer, DWORD* size) {
    if (userFails)
        return FALSE;
    return CopieNom(user_, buffer, size, static_cast<DWORD>(user_.size() + 1));
}

std::string NomOrdinateur() {
    char buffer[16] = {};
    DWORD size = sizeof buffer;
    const bool ok = CurrentIdentificationApi().GetComputerNameA(buffer, &size) != FALSE;
    return LitNom(buffer, sizeof buffer, ok);
}

std::string NomUtilisateur() {
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    const bool ok = CurrentIdentificationApi().GetUserNameA(buffer, &size) != FALSE;
    return LitNom(buffer, sizeof buffer, ok);
}

std::string TexteIdentification() {
    return "NS=" + NomOrdinateur() + "\r\nNU=" + NomUtilisateur();
}

} // namespace nv
