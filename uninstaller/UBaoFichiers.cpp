#include "uninstaller/UBaoFichiers.h"

#include "uninstaller/FileApiA.h"

namespace nv {

namespace {

bool SameTextAscii(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

std::string ChangeFileExt(const std::string& fileName, const std::string& extension) {
    const auto last = fileName.find_last_of(".\\:");
    if (last == std::string::npos || fileName[last] != '.')
        return fileName + extension;
    return fileName.substr(0, last) + extension;
}

bool IsFolderEmpty(const std::string& folder) {
    FileApiA& api = CurrentFileApiA();
    FindDataA data;
    UniqueSearchA search(api.FindFirstFileA((folder + "\\*.*").c_str(), &data));
    if (!search)
        return false;
    do {
        if (data.cFileName != "." && data.cFileName != "..")
            return false;
    } while (api.FindNextFileA(search.get(), &data));
    return true;
}

void RemoveSelfAtReboot(const std::string& ownFileName) {
    if (ownFileName.empty())
        return;
    std::string target = ChangeFileExt(ownFileName, ".old");
    if (SameTextAscii(target, ownFileName))
        target = ChangeFileExt(ownFileName, ".bad");
    FileApiA& api = CurrentFileApiA();
    // A second uninstall before a restart meets the first one's leftover.
    api.DeleteFileA(target.c_str());
    api.MoveFileA(ownFileName.c_str(), target.c_str());
    api.MoveFileExA(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

} // namespace nv
