#include "installer/InstallForm.h"

#include "common/UBdr.h"
#include "installer/InstallSequence.h"
#include "installer/TextesInstallation.h"
#include "installer/UMesPorts.h"

#include <algorithm>

namespace nv {

std::string ServerNameFromLaunchPath(const std::string& launchPath) {
    if (launchPath.size() < 8 || launchPath[0] != '\\' || launchPath[1] != '\\')
        return std::string();
    std::string rest = launchPath.substr(2);
    std::size_t slash = rest.find('\\');
    if (slash == std::string::npos)
        return std::string();
    return rest.substr(0, slash);
}

WORD ServerPortFromSetting(DWORD value) {
    if (value < 5000 || value >= 0xFFFF)
        return kDefaultServerPort;
    return static_cast<WORD>(value);
}

std::string ReadInstallSettings(const std::string& moduleFileName) {
    std::string serverName;
    if (!RegReadString(HKEY_LOCAL_MACHINE, kSettingsKey, "NomServeur", serverName, false))
        serverName.clear();
    if (serverName.empty())
        serverName = ServerNameFromLaunchPath(moduleFileName);
    DWORD port = 0;
    if (!RegReadDword(HKEY_LOCAL_MACHINE, kSettingsKey, "Port", port, false))
        port = 0;
    ServerPort = ServerPortFromSetting(port);
    return serverName;
}

std::string InfoText() {
    std::string text;
    for (const char* line : {texts::kInfoLine1, texts::kInfoLine2, texts::kInfoLine3}) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string ApplicationTitle(const std::string& moduleFileName) {
    std::size_t start = moduleFileName.find_last_of("\\/:");
    std::string name = start == std::string::npos ? moduleFileName : moduleFileName.substr(start + 1);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

FormLayout ComputeLayout(int clientWidth, int clientHeight, int panelHeight) {
    FormLayout layout;
    int width = std::max(clientWidth, 0);
    layout.panel = {0, clientHeight - panelHeight, width, panelHeight};
    layout.splitter = {0, layout.panel.top - kSplitterHeight, width, kSplitterHeight};
    layout.memo = {0, 0, width, std::max(layout.splitter.top, 0)};
    return layout;
}

int PanelHeightForSplitterTop(int splitterTop, int clientHeight) {
    int wanted = clientHeight - splitterTop - kSplitterHeight;
    int highest = clientHeight - kSplitterHeight - kSplitterMinSize;
    if (highest < kSplitterMinSize)
        return kSplitterMinSize;
    return std::clamp(wanted, kSplitterMinSize, highest);
}

Box CentredOnScreen(int screenWidth, int screenHeight, int windowWidth, int windowHeight) {
    return {(screenWidth - windowWidth) / 2, (screenHeight - windowHeight) / 2, windowWidth, windowHeight};
}

} // namespace nv
