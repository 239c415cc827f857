// An in-memory registry that answers the RegistryApi calls with the codes and
// effects Windows gives, for tests and for running the logic away from
// Windows. Beside the Win32 calls it offers direct helpers to seed and
// inspect the store, failure injection and a call log.
//
// What it reproduces:
//  - the four predefined roots (HKLM, HKCU, HKCR, HKU) as separate trees;
//    key and value names are case-insensitive and keep the case they were
//    created with; sub-keys enumerate in Windows' order (by upper-cased name);
//  - codes: missing key or value 2, unknown handle 6, a handle lacking the
//    needed access right 5, a key deleted while open 1018, a path that starts
//    with a backslash 161 (doubled and trailing backslashes are passed over);
//  - values as raw bytes with their type: a REG_SZ without terminator or of
//    zero bytes is stored as given, except that RegSetValueExA, as Windows,
//    counts a string's terminator that lies just past the given count
//    (so it reads that byte; the helpers below store exactly what they get); RegQueryValueExA
//    returns 234 with the needed size when the buffer is short, the size alone when data is null;
//  - RegEnumKeyExA: 234 when the buffer is short, with the size it needs
//    (characters with the terminator, as Windows documents it) in
//    *nameLength, or the length left as it was (as Wine 8 does, see
//    SetEnumKeyLeavesLength); 259 past the last sub-key;
//  - RegDeleteKeyA of a key that has sub-keys fails with 5, as Windows does;
//  - access rights: query needs KEY_QUERY_VALUE, set and delete-value need
//    KEY_SET_VALUE, enumerate needs KEY_ENUMERATE_SUB_KEYS; MAXIMUM_ALLOWED
//    grants what the caller may have;
//  - the machine: Machine::Wow64 (the default) is a 32-bit process on 64-bit
//    Windows: opened from the HKEY_LOCAL_MACHINE root without a view flag (or
//    with KEY_WOW64_32KEY), "SOFTWARE" and everything below it lands in
//    "SOFTWARE\Wow6432Node"; KEY_WOW64_64KEY reaches the real branch.
//    Machine::Windows64 is a 64-bit process (default view = real branch,
//    KEY_WOW64_32KEY = Wow6432Node). Machine::Windows32 is 32-bit Windows:
//    one view, the flags are ignored. Paths opened relative to an open key
//    stay in that key's branch. Both flags together answer 87.
//
// Paths given to the helpers below are "stored" paths (where the key really
// lies, e.g. "SOFTWARE\Wow6432Node\Korlen") unless a RegView says how to map
// them the way an open call with that view would.
#pragma once

#include "common/RegistryApi.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nv {

enum class RegCall {
    OpenKey,
    CreateKey,
    QueryValue,
    SetValue,
    CloseKey,
    DeleteKey,
    DeleteValue,
    EnumKey
};

// How a helper's path is mapped: as stored, or as an open call would map it
// from the root with no view flag, with KEY_WOW64_64KEY, with KEY_WOW64_32KEY.
enum class RegView { Stored, Default, Key64, Key32 };

struct RegValue {
    DWORD type = REG_NONE;
    std::string data; // raw bytes, exactly as set
};

class MemoryRegistry : public RegistryApi {
  public:
    enum class Machine { Windows32, Wow64, Windows64 };

    // A failure to inject. The call `call` on the key `path` under `root`
    // (empty path: any key under any root) answers `code`. For value calls,
    // `value` narrows it to one value name (case-insensitive; "" is the
    // default value). The first `skip` matching calls go through normally,
    // the next `times` fail (-1: all of them). Nothing is changed by a failed
    // call; a failing RegCloseKey still releases the handle.
    //   path means: OpenKey/CreateKey/DeleteKey the target key; the other
    //   calls the key of the handle they are given.
    struct Fault {
        RegCall call = RegCall::OpenKey;
        HKEY root = HKEY_LOCAL_MACHINE;
        std::string path;
        LONG code = 5;
        std::optional<std::string> value;
        RegView view = RegView::Stored;
        unsigned skip = 0;
        int times = -1;
    };

    // One line of the call log.
    struct CallRecord {
        RegCall call;
        std::string path; // root name + stored path, e.g. "HKLM\SOFTWARE\Wow6432Node\Korlen"
        std::string name; // value name or sub-key argument, as given
        DWORD access = 0; // access mask of open/create calls
        LONG result = 0;
    };

    explicit MemoryRegistry(Machine machine = Machine::Wow64);
    ~MemoryRegistry() override;
    MemoryRegistry(const MemoryRegistry&) = delete;
    MemoryRegistry& operator=(const MemoryRegistry&) = delete;

    Machine machine() const { return machine_; }

    // RegistryApi
    LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access,
                       HKEY* result) override;
    LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                         DWORD options, DWORD access, void* security, HKEY* result,
                         DWORD* disposition) override;
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* dataSize) override;
    LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                        const BYTE* data, DWORD dataSize) override;
    LONG RegCloseKey(HKEY key) override;
    LONG RegDeleteKeyA(HKEY key, const char* subKey) override;
    LONG RegDeleteValueA(HKEY key, const char* valueName) override;
    LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                       char* keyClass, DWORD* classLength, FILETIME* lastWriteTime) override;

    // --- seeding and inspection (no faults, no log, no access checks) ---
    // Where `path` lands for `view` on this machine, e.g. on Wow64
    // StoredPath(HKLM, "SOFTWARE\Korlen", RegView::Default) is
    // "SOFTWARE\Wow6432Node\Korlen".
    std::string StoredPath(HKEY root, std::string_view path, RegView view) const;
    void CreateKey(HKEY root, std::string_view path, RegView view = RegView::Stored);
    // Creates the key (and its parents) when missing.
    void SetValue(HKEY root, std::string_view path, std::string_view name, DWORD type,
                  std::string_view bytes, RegView view = RegView::Stored);
    void SetString(HKEY root, std::string_view path, std::string_view name, std::string_view text,
                   RegView view = RegView::Stored); // REG_SZ, text + NUL
    void SetDword(HKEY root, std::string_view path, std::string_view name, DWORD number,
                  RegView view = RegView::Stored);
    bool KeyExists(HKEY root, std::string_view path, RegView view = RegView::Stored) const;
    std::optional<RegValue> GetValue(HKEY root, std::string_view path, std::string_view name,
                                     RegView view = RegView::Stored) const;
    // A REG_SZ or REG_EXPAND_SZ value's text, one trailing NUL removed.
    std::optional<std::string> GetString(HKEY root, std::string_view path, std::string_view name,
                                         RegView view = RegView::Stored) const;
    // A REG_DWORD value of 4 bytes.
    std::optional<DWORD> GetDword(HKEY root, std::string_view path, std::string_view name,
                                  RegView view = RegView::Stored) const;
    std::vector<std::string> SubKeyNames(HKEY root, std::string_view path,
                                         RegView view = RegView::Stored) const;
    std::vector<std::string> ValueNames(HKEY root, std::string_view path,
                                        RegView view = RegView::Stored) const;
    // Removes a key with everything below it; false when it was not there.
    bool RemoveTree(HKEY root, std::string_view path, RegView view = RegView::Stored);
    // Write access to the key and everything below it is refused with 5 (as
    // for a user without administrator rights): opening or creating with any
    // write right, creating sub-keys, deleting keys. Reading stays possible.
    void DenyWrites(HKEY root, std::string_view path, RegView view = RegView::Stored);

    // --- failure injection ---
    void InjectFault(const Fault& fault);
    // Shorthand: every `call` on the key `path` (stored) answers `code`.
    void FailCall(RegCall call, HKEY root, std::string_view path, LONG code);
    void ClearFaults();

    // Some Windows versions answer a short-buffer RegQueryValueExA of a string
    // value with the size of its UTF-16 form (twice the bytes it will copy).
    // On: string values report that size with 234; the copy stays 8-bit.
    void SetWideSizeOnMoreData(bool on);
    // On: a short-buffer RegEnumKeyExA leaves *nameLength as it was (Wine).
    void SetEnumKeyLeavesLength(bool on);

    // --- observation ---
    std::vector<CallRecord> Calls() const;
    void ClearCalls();
    std::size_t OpenKeyCount() const; // handles opened or created and not yet closed

    struct Node;

  private:
    struct Handle;
    struct Target;

    std::shared_ptr<Node> RootNode(HKEY root) const;
    bool IsRoot(HKEY key) const;
    Handle* FindHandle(HKEY key);
    LONG Resolve(HKEY key, const char* subKey, DWORD access, Target& out);
    LONG CheckFault(RegCall call, HKEY root, const std::string& path, const char* value);
    void Log(RegCall call, HKEY root, const std::string& path, const char* name, DWORD access,
             LONG result);
    bool WriteDenied(HKEY root, const std::string& path) const;
    HKEY NewHandle(std::shared_ptr<Node> node, HKEY root, std::string path, DWORD granted);
    std::shared_ptr<Node> FindNode(HKEY root, const std::string& storedPath) const;
    std::shared_ptr<Node> MakeNode(HKEY root, const std::string& storedPath);
    LONG OpenOrCreate(RegCall call, HKEY key, const char* subKey, DWORD access, HKEY* result,
                      DWORD* disposition);

    Machine machine_;
    mutable std::recursive_mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<Node>> roots_;
    std::map<std::uintptr_t, std::unique_ptr<Handle>> handles_;
    std::uintptr_t nextHandle_ = 0x1000;
    std::vector<Fault> faults_;
    std::vector<unsigned> faultHits_;
    std::vector<std::pair<HKEY, std::string>> denied_;
    std::vector<CallRecord> calls_;
    bool wideSize_ = false;
    bool enumLeavesLength_ = false;
    std::uint64_t writeClock_ = 0;
};

} // namespace nv
