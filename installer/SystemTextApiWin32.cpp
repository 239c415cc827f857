// Straight to Windows: the system's message table and the ANSI code page.
#include "installer/SystemTextApi.h"

#include <cstdarg>

namespace nv {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide paths are UTF-16 on Windows");

namespace {
class Win32SystemText : public SystemTextApi {
public:
    DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                         char* buffer, DWORD size, void* arguments) override {
        return ::FormatMessageA(flags, source, messageId, languageId, buffer, size,
                                static_cast<va_list*>(arguments));
    }
    int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length,
                            char16_t* wide, int wideLength) override {
        return ::MultiByteToWideChar(codePage, flags, text, length,
                                     reinterpret_cast<wchar_t*>(wide), wideLength);
    }
    int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* wide, int wideLength,
                            char* text, int length, const char* defaultChar,
                            BOOL* usedDefaultChar) override {
        return ::WideCharToMultiByte(codePage, flags, reinterpret_cast<const wchar_t*>(wide),
                                     wideLength, text, length, defaultChar, usedDefaultChar);
    }
};
} // namespace

template <> SystemTextApi& detail::DefaultApi<SystemTextApi>() {
    static Win32SystemText api;
    return api;
}

} // namespace nv
