// The installer's messages need the system's wording of an error code and
// the ANSI code page in both directions (the program folder comes back 8-bit,
// file paths travel wide, message boxes take 8-bit text). Those three calls
// sit behind one interface so that the sequence runs and is tested anywhere.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <map>
#include <string>

namespace nv {

class SystemTextApi {
public:
    virtual ~SystemTextApi() = default;
    // `arguments` is the va_list*/DWORD_PTR* of the real call; the installer
    // passes none since it asks for FORMAT_MESSAGE_IGNORE_INSERTS.
    virtual DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId,
                                 DWORD languageId, char* buffer, DWORD size,
                                 void* arguments) = 0;
    virtual int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length,
                                    char16_t* wide, int wideLength) = 0;
    virtual int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* wide,
                                    int wideLength, char* text, int length,
                                    const char* defaultChar, BOOL* usedDefaultChar) = 0;
};

namespace detail {
template <> SystemTextApi& DefaultApi<SystemTextApi>(); // per platform
}
inline SystemTextApi& CurrentSystemTextApi() { return CurrentApi<SystemTextApi>(); }

using ScopedSystemTextApi = ScopedApi<SystemTextApi>;

// In-memory double: message texts set by the test, Windows-1252 as the ANSI
// code page. FormatMessageA of a code without a text answers 0, as Windows
// does for an unknown code; a text longer than the buffer answers 0 too.
class MemorySystemText : public SystemTextApi {
public:
    void SetMessage(DWORD code, std::string text) { messages_[code] = std::move(text); }
    void ClearMessages() { messages_.clear(); }
    // What the last FormatMessageA call asked for, so tests can see the flags.
    DWORD lastFlags = 0;
    DWORD lastLanguage = 0;
    DWORD lastSize = 0;

    DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                         char* buffer, DWORD size, void* arguments) override;
    int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length,
                            char16_t* wide, int wideLength) override;
    int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* wide, int wideLength,
                            char* text, int length, const char* defaultChar,
                            BOOL* usedDefaultChar) override;

private:
    std::map<DWORD, std::string> messages_;
};

// FormatMessageA(0x3200, no source, code, language 0) into 256 characters,
// with trailing control characters, blanks and full stops removed; empty
// when the system has no text for the code.
std::string SystemErrorText(DWORD code);

// Conversions in the ANSI code page (CP_ACP); characters the code page lacks
// become its default character.
std::u16string AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::u16string& text);

} // namespace nv
