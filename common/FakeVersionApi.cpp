#include "common/FakeVersionApi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace nv {

namespace {

constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorResourceTypeNotFound = 1813;
constexpr char kMagic[4] = {'N', 'V', 'V', 'B'};

char kKernel32Tag;
char kIsWow64ProcessTag;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 0x20);
    return s;
}

void PutU32(std::string& out, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

DWORD GetU32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

void PutRecord(std::string& out, const std::string& key, const std::string& data) {
    out.push_back(static_cast<char>(key.size() & 0xFF));
    out.push_back(static_cast<char>((key.size() >> 8) & 0xFF));
    out += key;
    PutU32(out, static_cast<DWORD>(data.size()));
    out += data;
}

} // namespace

FakeVersionApi::FakeVersionApi() {
    SetEnv("WINDIR", "C:\\Windows");
    SetEnv("SystemRoot", "C:\\Windows");
    SetEnv("ProgramFiles", "C:\\Program Files (x86)");
    AddFile("C:\\Windows\\Explorer.exe", "10.0.19041.1 (WinBuild.160101.0800)", 0x0409, 0x04B0);
}

FakeVersionApi::File& FakeVersionApi::AddFile(const std::string& path, const std::string& text,
                                              WORD language, WORD codePage) {
    File file;
    file.translations.emplace_back(language, codePage);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%04X%04X", language, codePage);
    file.fileVersions[hex] = text;
    return files[Upper(path)] = std::move(file);
}

FakeVersionApi::File* FakeVersionApi::FindFile(const std::string& path) {
    auto it = files.find(Upper(path));
    return it == files.end() ? nullptr : &it->second;
}

void FakeVersionApi::SetEnv(const std::string& name, const std::string& value) {
    environment[Upper(name)] = value;
}

void FakeVersionApi::UnsetEnv(const std::string& name) {
    environment.erase(Upper(name));
}

BOOL FakeVersionApi::GetVersionExA(OSVERSIONINFOEXA* info) {
    ++versionCalls;
    if (!info || (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156)) {
        lastError = kErrorInsufficientBuffer;
        return FALSE;
    }
    const bool extended = info->dwOSVersionInfoSize == 156;
    if (extended)
        ++extendedVersionCalls;
    if (versionFails || (extended && extendedVersionFails)) {
        lastError = kErrorInvalidParameter;
        return FALSE;
    }
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = build;
    info->dwPlatformId = platform;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (extended) {
        info->wServicePackMajor = 0;
        info->wServicePackMinor = 0;
        info->wSuiteMask = 0x100;
        info->wProductType = productType;
        info->wReserved = 0;
    }
    return TRUE;
}

// The block: magic, total size, then records (16-bit key length, key, 32-bit
// data length, data) that VerQueryValueA looks up by key.
std::string FakeVersionApi::Block(const File& file) const {
    std::string translations;
    for (auto [language, codePage] : file.translations) {
        translations.push_back(static_cast<char>(language & 0xFF));
        translations.push_back(static_cast<char>(language >> 8));
        translations.push_back(static_cast<char>(codePage & 0xFF));
        translations.push_back(static_cast<char>(codePage >> 8));
    }
    std::string records;
    PutRecord(records, "\\VarFileInfo\\Translation", translations);
    for (const auto& [hex, text] : file.fileVersions)
        PutRecord(records, "\\StringFileInfo\\" + hex + "\\FileVersion", text + '\0');
    std::string block(kMagic, 4);
    PutU32(block, static_cast<DWORD>(8 + records.size()));
    return block + records;
}

DWORD FakeVersionApi::GetFileVersionInfoSizeA(const char* path, DWORD* handle) {
    if (handle)
        *handle = 0;
    const File* file = path ? FindFile(path) : nullptr;
    if (!file) {
        lastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    if (!file->hasResource) {
        lastError = kErrorResourceTypeNotFound;
        return 0;
    }
    return file->reportedSize ? file->reportedSize : static_cast<DWORD>(Block(*file).size());
}

BOOL FakeVersionApi::GetFileVersionInfoA(const char* path, DWORD, DWORD size, void* data) {
    const File* file = path ? FindFile(path) : nullptr;
    if (!file) {
        lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (!file->hasResource) {
        lastError = kErrorResourceTypeNotFound;
        return FALSE;
    }
    if (file->infoFails) {
        lastError = kErrorAccessDenied;
        return FALSE;
    }
    if (!data || size < 8) {
        lastError = kErrorInsufficientBuffer;
        return FALSE;
    }
    std::string block = Block(*file);
    // A short buffer gets what fits, as Windows truncates.
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(size, block.size()));
    std::memcpy(data, block.data(), n);
    std::string total;
    PutU32(total, n);
    std::memcpy(static_cast<char*>(data) + 4, total.data(), 4);
    return TRUE;
}

BOOL FakeVersionApi::VerQueryValueA(const void* block, const char* subBlock, void** buffer,
                                    UINT* length) {
    queriedSubBlocks.emplace_back(subBlock ? subBlock : "");
    if (buffer)
        *buffer = nullptr;
    if (length)
        *length = 0;
    const auto* p = static_cast<const unsigned char*>(block);
    if (!p || !subBlock || !buffer || !length || std::memcmp(p, kMagic, 4) != 0)
        return FALSE;
    const DWORD total = GetU32(p + 4);
    const std::string wanted = Upper(subBlock);
    DWORD at = 8;
    while (at + 2 <= total) {
        const DWORD keyLength = p[at] | (p[at + 1] << 8);
        if (at + 2 + keyLength + 4 > total)
            break;
        std::string key(reinterpret_cast<const char*>(p + at + 2), keyLength);
        const DWORD dataLength = GetU32(p + at + 2 + keyLength);
        const DWORD dataAt = at + 2 + keyLength + 4;
        if (dataAt + dataLength > total)
            break;
        if (Upper(key) == wanted) {
            *buffer = const_cast<unsigned char*>(p + dataAt);
            *length = dataLength;
            return TRUE;
        }
        at = dataAt + dataLength;
    }
    return FALSE;
}

HMODULE FakeVersionApi::LoadLibraryA(const char* name) {
    const std::string n = Upper(name ? name : "");
    if (!kernel32Loads || (n != "KERNEL32.DLL" && n != "KERNEL32")) {
        lastError = kErrorModNotFound;
        return nullptr;
    }
    ++loadedModules;
    return reinterpret_cast<HMODULE>(&kKernel32Tag);
}

void* FakeVersionApi::GetProcAddress(HMODULE module, const char* name) {
    if (module != reinterpret_cast<HMODULE>(&kKernel32Tag) || !hasIsWow64Process || !name ||
        std::strcmp(name, "IsWow64Process") != 0) {
        lastError = kErrorProcNotFound;
        return nullptr;
    }
    return &kIsWow64ProcessTag;
}

BOOL FakeVersionApi::FreeLibrary(HMODULE module) {
    if (module != reinterpret_cast<HMODULE>(&kKernel32Tag)) {
        lastError = kErrorInvalidHandle;
        return FALSE;
    }
    --loadedModules;
    return TRUE;
}

HANDLE FakeVersionApi::GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL FakeVersionApi::CallIsWow64Process(void* function, HANDLE process, BOOL* result) {
    ++isWow64Calls;
    if (function != &kIsWow64ProcessTag || process != GetCurrentProcess() || !result) {
        lastError = kErrorInvalidParameter;
        return FALSE;
    }
    if (!isWow64ProcessSucceeds) {
        lastError = kErrorInvalidHandle;
        return FALSE;
    }
    *result = wow64;
    return TRUE;
}

// Windows' rule: %NAME% of a defined variable is replaced, anything else
// (undefined names, a lone %) stays as written. The answer counts the
// terminator; a short buffer gets a truncated copy and the needed size.
DWORD FakeVersionApi::ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size) {
    ++expandCalls;
    if (expandFails || !source) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    std::string in(source), out;
    std::size_t i = 0;
    while (i < in.size()) {
        if (in[i] == '%') {
            std::size_t close = in.find('%', i + 1);
            if (close != std::string::npos) {
                auto it = environment.find(Upper(in.substr(i + 1, close - i - 1)));
                if (close > i + 1 && it != environment.end()) {
                    out += it->second;
                    i = close + 1;
                    continue;
                }
                out += in.substr(i, close - i);
                i = close; // the closing % may open the next name
                continue;
            }
        }
        out += in[i++];
    }
    const DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (destination && size) {
        const std::size_t n = std::min<std::size_t>(out.size(), size - 1);
        std::memcpy(destination, out.data(), n);
        destination[n] = '\0';
    }
    return needed;
}

UINT FakeVersionApi::GetSystemDirectoryA(char* buffer, UINT size) {
    ++systemDirectoryCalls;
    if (systemDirectoryFails) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    const UINT length = static_cast<UINT>(systemDirectory.size());
    if (!buffer || size <= length)
        return length + 1;
    std::memcpy(buffer, systemDirectory.c_str(), length + 1);
    return length;
}

} // namespace nv
