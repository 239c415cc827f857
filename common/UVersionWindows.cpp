#include "common/UVersionWindows.h"

#include "common/UBdr.h"
#include "common/VersionApi.h"

#include <cstring>
#include <memory>
#include <new>

namespace nv {

DWORD WindowsVersionCode = 0;
bool IsWow64 = false;

namespace {

constexpr DWORD kPlatform9x = 1;
constexpr DWORD kPlatformNT = 2;
constexpr DWORD kVersionInfoSize = 148;   // OSVERSIONINFOA
constexpr DWORD kVersionInfoExSize = 156; // OSVERSIONINFOEXA
static_assert(sizeof(OSVERSIONINFOEXA) == kVersionInfoExSize);
constexpr DWORD kMaxVersionInfoSize = 32000;
constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// Module state: looked up on first use, kept for the life of the process.
std::string g_releaseId;
std::string g_windowsFolder;
std::string g_systemFolder;
bool g_productTypeKept = false;
BYTE g_productType = 0;

// A whole, optionally signed decimal number that fits an int.
bool ParseInt(const std::string& text, int& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
        if (v > 2147483648LL)
            return false;
    }
    if (negative)
        v = -v;
    if (v > 2147483647LL)
        return false;
    out = static_cast<int>(v);
    return true;
}

// "a.b.c.rest": the three numbers before the third dot; the rest is not read.
bool ParseFileVersion(const std::string& text, int& major, int& minor, int& build) {
    const std::size_t d1 = text.find('.');
    if (d1 == std::string::npos)
        return false;
    const std::size_t d2 = text.find('.', d1 + 1);
    if (d2 == std::string::npos)
        return false;
    const std::size_t d3 = text.find('.', d2 + 1);
    if (d3 == std::string::npos)
        return false;
    return ParseInt(text.substr(0, d1), major) &&
           ParseInt(text.substr(d1 + 1, d2 - d1 - 1), minor) &&
           ParseInt(text.substr(d2 + 1, d3 - d2 - 1), build);
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// Releases a module through the interface it came from.
class ModuleGuard {
  public:
    ModuleGuard(VersionApi& api, HMODULE module) : api_(api), module_(module) {}
    ~ModuleGuard() {
        if (module_)
            api_.FreeLibrary(module_);
    }
    ModuleGuard(const ModuleGuard&) = delete;
    ModuleGuard& operator=(const ModuleGuard&) = delete;

  private:
    VersionApi& api_;
    HMODULE module_;
};

bool ReadExplorerVersion(int& major, int& minor, int& build) {
    std::string windows;
    GetWindowsFolder(windows);
    return GetFileVersion(windows + "\\Explorer.exe", major, minor, build) == 0;
}

// A 6.2 workstation: Windows 8 and later, by ReleaseId or Explorer.exe.
DWORD ClassifyWorkstation62() {
    std::string releaseId;
    RegReadString(HKEY_LOCAL_MACHINE, kVersionKey, "ReleaseId", releaseId, false);
    if (releaseId.size() == 4) {
        g_releaseId = releaseId;
        // Ordinal, byte by byte: any 4-character text from "1809" on is newer.
        if (releaseId.compare("1809") >= 0)
            return winver::Win10_1809;
        if (releaseId == "1803")
            return winver::Win10_1803;
        if (releaseId == "1709" || releaseId == "1703")
            return winver::Win10_1703;
        if (releaseId == "1607")
            return winver::Win10_1607;
        return winver::Win10;
    }
    g_releaseId.clear();
    int major, minor, build;
    if (!ReadExplorerVersion(major, minor, build))
        return 0;
    if (major < 10)
        return minor >= 3 ? winver::Win81 : winver::Win8;
    if (build < 14393)
        return winver::Win10;
    if (build < 15063)
        return winver::Win10_1607;
    if (build < 16299)
        return winver::Win10_1703;
    return winver::Win10_1803;
}

// A 6.2 server (type 3) or domain controller (anything else).
DWORD ClassifyServer62(BYTE productType) {
    const bool server = productType == 3;
    const DWORD v2012 = server ? winver::Server2012 : winver::Server2012DC;
    const DWORD v2016 = server ? winver::Server2016 : winver::Server2016DC;
    const DWORD later = server ? winver::ServerLater : winver::ServerLaterDC;
    int major, minor, build;
    std::string name;
    if (ReadExplorerVersion(major, minor, build)) {
        if (major < 10)
            return v2012;
        GetProductName(name);
        return Contains(name, "2016") ? v2016 : later;
    }
    GetProductName(name);
    if (Contains(name, "2012"))
        return v2012;
    if (Contains(name, "2016"))
        return v2016;
    return later;
}

DWORD Classify() {
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = kVersionInfoSize;
    if (!CurrentVersionApi().GetVersionExA(&info))
        return 0;
    const DWORD major = info.dwMajorVersion, minor = info.dwMinorVersion;
    if (info.dwPlatformId == kPlatform9x) {
        if (minor < 10)
            return winver::Win95;
        return minor < 90 ? winver::Win98 : winver::WinMe;
    }
    if (info.dwPlatformId != kPlatformNT)
        return 0;
    if (major == 4)
        return winver::WinNT4;
    if (major == 5) {
        if (minor == 1)
            return winver::WinXP;
        if (minor == 0) {
            switch (GetProductType()) {
            case 1:
                return winver::Win2000Pro;
            case 2:
                return winver::Win2000DC;
            default:
                return 0;
            }
        }
        if (minor == 2) {
            switch (GetProductType()) {
            case 1:
                return winver::WinXP64;
            case 2:
                return winver::Server2003DC;
            case 3:
                return winver::Server2003;
            default:
                return 0;
            }
        }
        return 0;
    }
    if (major != 6)
        return 0;
    const BYTE type = GetProductType();
    if (minor == 0 || minor == 1) {
        switch (type) {
        case 1:
            return minor == 0 ? winver::Vista : winver::Win7;
        case 2:
            return winver::Server2008DC;
        case 3:
            return winver::Server2008;
        default:
            return 0;
        }
    }
    if (minor == 2) {
        if (type == 1)
            return ClassifyWorkstation62();
        if (type == 2 || type == 3)
            return ClassifyServer62(type);
    }
    return 0;
}

} // namespace

void ClassifyWindowsVersion() {
    WindowsVersionCode = Classify();
}

void DetectWow64() {
    IsWow64 = false;
    if (!IsXpOrLater())
        return;
    VersionApi& api = CurrentVersionApi();
    HMODULE kernel32 = api.LoadLibraryA("kernel32.dll");
    if (!kernel32)
        return;
    ModuleGuard release(api, kernel32);
    if (void* isWow64Process = api.GetProcAddress(kernel32, "IsWow64Process")) {
        BOOL wow64 = FALSE;
        if (api.CallIsWow64Process(isWow64Process, api.GetCurrentProcess(), &wow64) && wow64)
            IsWow64 = true;
    }
}

bool IsXpOrLater() {
    return WindowsVersionCode >= winver::WinXP;
}

BYTE GetProductType() {
    if (g_productTypeKept)
        return g_productType;
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = kVersionInfoExSize;
    if (!CurrentVersionApi().GetVersionExA(&info))
        return 0;
    g_productType = info.wProductType;
    g_productTypeKept = true;
    return g_productType;
}

void GetProductName(std::string& name) {
    if (!RegReadString(HKEY_LOCAL_MACHINE, kVersionKey, "ProductName", name, false))
        name.clear();
}

DWORD GetFileVersion(const std::string& path, int& major, int& minor, int& build) {
    major = minor = build = 0;
    VersionApi& api = CurrentVersionApi();
    auto failure = [&api]() -> DWORD {
        const DWORD error = api.GetLastError();
        return error ? error : 1;
    };
    DWORD handle = 0;
    const DWORD size = api.GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0 || size > kMaxVersionInfoSize)
        return failure();
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[size]);
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!api.GetFileVersionInfoA(path.c_str(), handle, size, block.get()))
        return failure();
    void* data = nullptr;
    UINT length = 0;
    if (!api.VerQueryValueA(block.get(), "\\VarFileInfo\\Translation", &data, &length) ||
        !data || length < 4)
        return failure();
    WORD language, codePage;
    std::memcpy(&language, data, 2);
    std::memcpy(&codePage, static_cast<unsigned char*>(data) + 2, 2);
    static const char kHex[] = "0123456789ABCDEF";
    char query[] = "\\StringFileInfo\\00000000\\FileVersion";
    const DWORD pair = (static_cast<DWORD>(language) << 16) | codePage;
    for (int i = 0; i < 8; ++i)
        query[16 + i] = kHex[(pair >> (28 - 4 * i)) & 0xF];
    data = nullptr;
    length = 0;
    if (!api.VerQueryValueA(block.get(), query, &data, &length) || !data)
        return failure();
    // The text lies in the block; never read past what Windows announced.
    const char* text = static_cast<const char*>(data);
    const std::string fileVersion(text, strnlen(text, length));
    int a, b, c;
    if (!ParseFileVersion(fileVersion, a, b, c))
        return failure();
    major = a;
    minor = b;
    build = c;
    return 0;
}

namespace {
void GetWindowsFolderImpl(std::string& folder) {
    if (!g_windowsFolder.empty()) {
        folder = g_windowsFolder;
        return;
    }
    char buffer[261];
    const DWORD n =
        CurrentVersionApi().ExpandEnvironmentStringsA("%WINDIR%", buffer, sizeof buffer);
    // A result larger than the buffer means the copy is not whole.
    if (n == 0 || n > sizeof buffer) {
        folder = "C:\\WINDOWS";
        return;
    }
    buffer[sizeof buffer - 1] = '\0';
    std::string found(buffer);
    if (found.empty() || found.find('%') != std::string::npos) {
        folder = "C:\\WINDOWS";
        return;
    }
    if (found.back() == '\\')
        found.pop_back();
    g_windowsFolder = found;
    folder = found;
}
} // namespace

void GetWindowsFolder(std::string& folder) {
    GetWindowsFolderImpl(folder);
}

namespace {
void GetSystemFolderImpl(std::string& folder) {
    if (!g_systemFolder.empty()) {
        folder = g_systemFolder;
        return;
    }
    char buffer[260];
    const UINT n = CurrentVersionApi().GetSystemDirectoryA(buffer, sizeof buffer);
    // A result of the buffer's size or more is the size it would need.
    if (n == 0 || n >= sizeof buffer) {
        folder = "C:\\Windows\\System32";
        return;
    }
    std::string found(buffer, n);
    if (!found.empty() && found.back() == '\\')
        found.pop_back();
    g_systemFolder = found;
    folder = found;
}
} // namespace

void GetSystemFolder(std::string& folder) {
    GetSystemFolderImpl(folder);
}

void ExpandEnvironmentText(const std::string& text, std::string& expanded) {
    expanded.clear();
    char buffer[1024];
    const DWORD n =
        CurrentVersionApi().ExpandEnvironmentStringsA(text.c_str(), buffer, sizeof buffer);
    if (n == 0 || n > sizeof buffer)
        return;
    buffer[sizeof buffer - 1] = '\0';
    if (text != buffer)
        expanded = buffer;
}

void VersionUnitStartup() {
    ClassifyWindowsVersion();
    DetectWow64();
}

void VersionUnitShutdown() {
    g_releaseId.clear();
    g_windowsFolder.clear();
    g_systemFolder.clear();
}

void ResetVersionUnit() {
    VersionUnitShutdown();
    WindowsVersionCode = 0;
    IsWow64 = false;
    g_productTypeKept = false;
    g_productType = 0;
}

const std::string& KeptReleaseId() {
    return g_releaseId;
}

} // namespace nv
