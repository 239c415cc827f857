#include "client/ClientState.h"

#include "client/Textes.h"
#include "common/UBdr.h"

#include <cstring>

namespace nv {

std::uint16_t PortServeur = PortParDefaut;

void ClosePermission::Grant() {
    // A tick of exactly 0 would read as "not granted"; one millisecond
    // earlier changes nothing else.
    DWORD now = clock_.GetTickCount();
    stamp_ = now != 0 ? now : 0xFFFFFFFFu;
}

bool ClosePermission::Check() {
    if (stamp_ == 0)
        return false;
    DWORD elapsed = clock_.GetTickCount() - stamp_; // unsigned: the wrap is harmless
    if (elapsed <= DureePermissionFermeture)
        return true;
    stamp_ = 0;
    return false;
}

std::string MutexName(DWORD windowsVersionCode, const std::string& userName) {
    std::string name = windowsVersionCode >= 0x800 ? textes::PrefixeMutexGlobal
                                                   : textes::PrefixeMutexLocal;
    return name + userName;
}

std::vector<std::string> SplitCommandLine(const char* commandLine) {
    std::vector<std::string> params;
    if (commandLine == nullptr)
        return params;
    auto blank = [](char c) { return c != '\0' && static_cast<unsigned char>(c) <= ' '; };
    const char* p = commandLine;
    bool first = true;
    for (;;) {
        for (;;) {
            while (blank(*p))
                ++p;
            if (p[0] == '"' && p[1] == '"')
                p += 2; // an empty quoted parameter counts for nothing
            else
                break;
        }
        if (*p == '\0')
            break;
        std::string param;
        while (*p != '\0' && !blank(*p)) {
            if (*p == '"') {
                ++p;
                while (*p != '\0' && *p != '"')
                    param += *p++;
                if (*p != '\0')
                    ++p;
            } else {
                param += *p++;
            }
        }
        if (!first)
            params.push_back(std::move(param));
        first = false;
    }
    return params;
}

bool IconWantedFrom(DWORD cacheIcone) { return cacheIcone != 1; }

std::string ServerNameFrom(const std::string& nomServeur, const std::vector<std::string>& params) {
    if (!nomServeur.empty())
        return nomServeur;
    const std::size_t prefix = std::strlen(textes::ParametreNomServeur);
    for (const std::string& param : params) {
        if (param.compare(0, prefix, textes::ParametreNomServeur) == 0 && param.size() > prefix)
            return param.substr(prefix);
    }
    return {};
}

std::uint16_t PortFrom(DWORD port) {
    if (port >= 5000 && port <= 65534)
        return static_cast<std::uint16_t>(port);
    return PortParDefaut;
}

ClientSettings ReadClientSettings(const std::vector<std::string>& params) {
    ClientSettings settings;
    DWORD cacheIcone = 0;
    (void)RegReadDword(HKEY_LOCAL_MACHINE, textes::CleParametres, textes::ValeurCacheIcone,
                       cacheIcone, false);
    settings.iconWanted = IconWantedFrom(cacheIcone);
    std::string nomServeur;
    (void)RegReadString(HKEY_LOCAL_MACHINE, textes::CleParametres, textes::ValeurNomServeur,
                        nomServeur, false);
    settings.serverName = ServerNameFrom(nomServeur, params);
    DWORD port = 0;
    (void)RegReadDword(HKEY_LOCAL_MACHINE, textes::CleParametres, textes::ValeurPort, port,
                       false);
    settings.port = PortFrom(port);
    PortServeur = settings.port;
    return settings;
}

Point MenuPosition(const Rect& workArea, int width, int height) {
    return Point{workArea.right - width, workArea.bottom - height};
}

int CentredOffset(int screenExtent, int panelExtent) {
    int offset = (screenExtent - panelExtent) / 2; // C++ truncates toward zero
    return offset < 0 ? 0 : offset;
}

} // namespace nv
