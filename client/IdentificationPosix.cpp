#include "client/Identification.h"

#include <cctype>
#include <cstdlib>
#include <unistd.h>

namespace nv {

namespace {
// Like a NetBIOS name: upper case, at most 15 characters.
std::string NomHote() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return std::string();
    std::string nom;
    for (const char* p = buffer; *p && *p != '.' && nom.size() < 15; ++p)
        nom += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return nom;
}

std::string Utilisateur() {
    const char* user = std::getenv("USER");
    std::string nom = user ? user : "";
    if (nom.size() > 255)
        nom.resize(255);
    return nom;
}
} // namespace

template <> IdentificationApi& detail::DefaultApi<IdentificationApi>() {
    static MemoryIdentificationApi api(NomHote(), Utilisateur());
    return api;
}

} // namespace nv
