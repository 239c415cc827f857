#include "DirectoryNames.h"

#include "Model.h"

namespace nvserver {

namespace {

bool KnownDomain(const std::string& qualifier, const std::vector<std::string>& domains) {
    const std::string key = NameKey(qualifier);
    for (const std::string& d : domains)
        if (NameKey(d) == key)
            return true;
    return false;
}

// Splits "Q\name", "name@Q" or "name.Q" (dots only for computers) into
// name and qualifier; an unqualified name has an empty qualifier.
std::pair<std::string, std::string> Split(const std::string& name, bool computer) {
    if (const auto slash = name.find('\\'); slash != std::string::npos)
        return {name.substr(slash + 1), name.substr(0, slash)};
    if (const auto at = name.rfind('@'); at != std::string::npos)
        return {name.substr(0, at), name.substr(at + 1)};
    if (computer)
        if (const auto dot = name.find('.'); dot != std::string::npos)
            return {name.substr(0, dot), name.substr(dot + 1)};
    return {name, ""};
}

std::optional<std::string> StationKey(const std::string& name, const std::vector<std::string>& domains,
                                      bool computer) {
    auto [bare, qualifier] = Split(name, computer);
    if (computer && !bare.empty() && bare.back() == '$')
        bare.pop_back();
    if (bare.empty() || (!qualifier.empty() && !KnownDomain(qualifier, domains)))
        return std::nullopt;
    return NameKey(bare);
}

} // namespace

std::optional<std::string> StationUserKey(const std::string& name, const std::vector<std::string>& domains) {
    return StationKey(name, domains, false);
}

std::optional<std::string> StationComputerKey(const std::string& name, const std::vector<std::string>& domains) {
    return StationKey(name, domains, true);
}

std::string DirectoryUserKey(const std::string& value) {
    return NameKey(Split(value, false).first);
}

std::string DirectoryComputerKey(const std::string& value) {
    std::string bare = Split(value, true).first;
    if (!bare.empty() && bare.back() == '$')
        bare.pop_back();
    return NameKey(bare);
}

} // namespace nvserver
