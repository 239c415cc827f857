#include "installer/SystemTextApi.h"

#include <cstring>

namespace nv {

namespace {
constexpr UINT kAnsiCodePage = 0;              // CP_ACP
constexpr DWORD kSystemTextFlags = 0x3200;     // FROM_SYSTEM | IGNORE_INSERTS | ARGUMENT_ARRAY
constexpr DWORD kSystemTextSize = 256;

// Windows-1252 from 0x80 to 0x9F; the five holes map to the same code point,
// as Windows' own table does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t Cp1252ToUnicode(unsigned char c) {
    return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : char16_t(c);
}

bool UnicodeToCp1252(char16_t w, char& out) {
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) {
        out = static_cast<char>(w);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == w) {
            out = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}
} // namespace

#ifndef _WIN32
template <> SystemTextApi& detail::DefaultApi<SystemTextApi>() {
    static MemorySystemText api;
    return api;
}
#endif

DWORD MemorySystemText::FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD languageId,
                                       char* buffer, DWORD size, void*) {
    lastFlags = flags;
    lastLanguage = languageId;
    lastSize = size;
    auto it = messages_.find(messageId);
    if (it == messages_.end() || buffer == nullptr || it->second.size() + 1 > size)
        return 0;
    std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
    return static_cast<DWORD>(it->second.size());
}

int MemorySystemText::MultiByteToWideChar(UINT, DWORD, const char* text, int length,
                                          char16_t* wide, int wideLength) {
    if (text == nullptr || length == 0)
        return 0;
    if (length < 0)
        length = static_cast<int>(std::strlen(text)) + 1;
    if (wideLength == 0)
        return length;
    if (wide == nullptr || wideLength < length)
        return 0;
    for (int i = 0; i < length; ++i)
        wide[i] = Cp1252ToUnicode(static_cast<unsigned char>(text[i]));
    return length;
}

int MemorySystemText::WideCharToMultiByte(UINT, DWORD, const char16_t* wide, int wideLength,
                                          char* text, int length, const char* defaultChar,
                                          BOOL* usedDefaultChar) {
    if (wide == nullptr || wideLength == 0)
        return 0;
    if (wideLength < 0) {
        wideLength = 1;
        while (wide[wideLength - 1] != 0)
            ++wideLength;
    }
    if (usedDefaultChar)
        *usedDefaultChar = 0;
    if (length == 0)
        return wideLength;
    if (text == nullptr || length < wideLength)
        return 0;
    for (int i = 0; i < wideLength; ++i) {
        if (!UnicodeToCp1252(wide[i], text[i])) {
            text[i] = defaultChar ? *defaultChar : '?';
            if (usedDefaultChar)
                *usedDefaultChar = 1;
        }
    }
    return wideLength;
}

std::string SystemErrorText(DWORD code) {
    char buffer[kSystemTextSize] = {};
    DWORD n = CurrentSystemTextApi().FormatMessageA(kSystemTextFlags, nullptr, code, 0, buffer,
                                                    kSystemTextSize, nullptr);
    if (n > kSystemTextSize)
        n = 0;
    std::string text(buffer, n);
    while (!text.empty() &&
           (static_cast<unsigned char>(text.back()) <= 0x20 || text.back() == '.'))
        text.pop_back();
    return text;
}

std::u16string AnsiToWide(const std::string& text) {
    if (text.empty())
        return {};
    SystemTextApi& api = CurrentSystemTextApi();
    const int length = static_cast<int>(text.size());
    int n = api.MultiByteToWideChar(kAnsiCodePage, 0, text.data(), length, nullptr, 0);
    if (n <= 0)
        return {};
    std::u16string wide(static_cast<std::size_t>(n), u'\0');
    n = api.MultiByteToWideChar(kAnsiCodePage, 0, text.data(), length, wide.data(), n);
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return wide;
}

std::string WideToAnsi(const std::u16string& wide) {
    if (wide.empty())
        return {};
    SystemTextApi& api = CurrentSystemTextApi();
    const int length = static_cast<int>(wide.size());
    int n = api.WideCharToMultiByte(kAnsiCodePage, 0, wide.data(), length, nullptr, 0, nullptr,
                                    nullptr);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    n = api.WideCharToMultiByte(kAnsiCodePage, 0, wide.data(), length, text.data(), n, nullptr,
                                nullptr);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

} // namespace nv
