// An in-memory disk behind the wide file interface: drives, folders, files
// with their bytes, attributes and three times, open handles with Windows'
// sharing rules, and the conditions an installer meets over an older
// installation: read-only files, files another process holds open, and a
// running program's image (it can be moved, never overwritten nor deleted).
// Any call can be made to fail with any code; every call is logged.
//
// Paths are full ("C:\dir\file", or "\\?\C:\dir\file"), compared without
// regard to ASCII case; trailing backslashes are ignored. Relative names are
// never found, nor the volume device "\\?\C:" (66), while "\\?\C:\" is the root.
// FindFirstFileW matches exact names only (no wildcards). Deleting a file
// that is open with FILE_SHARE_DELETE removes it at once (Windows would keep
// the name until the last close).
#pragma once

#include "common/FileApiW.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nv {

class MemoryFileSystemW final : public FileApiW {
  public:
    enum class Op {
        GetFileAttributes,
        CreateDirectory,
        CreateFile,
        WriteFile,
        SetFileTime,
        CloseHandle,
        FindFirstFile,
        FindClose,
        SetFileAttributes,
        DeleteFile,
        MoveFile,
    };
    struct Entry {
        std::u16string path;  // as spelt when created or moved
        DWORD attributes = 0; // as GetFileAttributesW reports them
        std::string data;     // a file's bytes
        FILETIME creation{}, lastAccess{}, lastWrite{};
        bool runningImage = false;
        bool folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    };
    struct Call {
        Op op;
        std::u16string path; // as passed, or the handle's file
    };
    static constexpr unsigned kAlways = ~0u;

    MemoryFileSystemW(); // drive C: exists, nothing else

    // Setting up; missing parents are made as plain folders.
    void AddDrive(char16_t letter);
    void AddFolder(const std::u16string& path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY);
    void AddJunction(const std::u16string& path); // a folder that is a reparse point
    void AddFile(const std::u16string& path, std::string data = {},
                 DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void SetRunningImage(const std::u16string& path, bool running = true);
    // Another process opens the file; the handle is released with CloseHandle.
    HANDLE HoldOpen(const std::u16string& path, DWORD access = GENERIC_READ, DWORD share = 0);
    // The time given to created and written files.
    void SetNow(FILETIME now) { now_ = now; }
    FILETIME Now() const { return now_; }

    // Failures. `path` empty matches every path; for calls on a handle the
    // path is the handle's file. Rules apply in the order they were added.
    void FailNext(Op op, DWORD code, const std::u16string& path = {}, unsigned times = 1);
    void FailAlways(Op op, DWORD code, const std::u16string& path = {}) {
        FailNext(op, code, path, kAlways);
    }
    // WriteFile on `path` answers TRUE having written at most `written`
    // bytes, and sets `lastError` first when it is not 0.
    void ShortWrite(const std::u16string& path, DWORD written, DWORD lastError = 0);
    void ClearFailures();

    // Reading back.
    const Entry* Find(const std::u16string& path) const; // null when absent
    bool Exists(const std::u16string& path) const { return Find(path) != nullptr; }
    bool IsFolder(const std::u16string& path) const;
    std::vector<std::u16string> Paths() const; // every entry as spelt, in key order
    const std::vector<Call>& Calls() const { return calls_; }
    unsigned CallCount(Op op) const;
    void ClearCalls() { calls_.clear(); }
    std::size_t OpenHandles() const { return handles_.size(); }

    DWORD GetFileAttributesW(const char16_t* fileName) override;
    BOOL CreateDirectoryW(const char16_t* pathName, void* securityAttributes) override;
    HANDLE CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   void* overlapped) override;
    BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override;
    BOOL CloseHandle(HANDLE object) override;
    HANDLE FindFirstFileW(const char16_t* fileName, FindDataW* findData) override;
    BOOL FindClose(HANDLE findFile) override;
    BOOL SetFileAttributesW(const char16_t* fileName, DWORD fileAttributes) override;
    BOOL DeleteFileW(const char16_t* fileName) override;
    BOOL MoveFileW(const char16_t* existingFileName, const char16_t* newFileName) override;
    DWORD GetLastError() override { return lastError_; }
    void SetLastError(DWORD code) override { lastError_ = code; }

  private:
    struct Open {
        std::shared_ptr<Entry> entry;
        bool find = false;
        DWORD access = 0;
        DWORD share = 0;
        std::size_t position = 0;
    };
    struct Rule {
        Op op;
        DWORD code;
        std::u16string key; // empty: any path
        unsigned times;
    };
    struct Short {
        DWORD written;
        DWORD lastError;
    };
    using Map = std::map<std::u16string, std::shared_ptr<Entry>>;

    // Key (upper-case, no "\\?\", no trailing backslash) and spelling of a
    // path; false when it is not a full path the disk can name.
    static bool Resolve(const char16_t* path, std::u16string& key, std::u16string& spelt);
    static DWORD Unresolved(const char16_t* path);           // the code for a path Resolve refuses
    static std::u16string Parent(const std::u16string& key); // empty for a drive root
    std::shared_ptr<Entry> Lookup(const std::u16string& key) const;
    DWORD MissingCode(const std::u16string& key) const; // 2, or 3 when the parent is missing
    bool Injected(Op op, const std::u16string& spelt);  // logs the call; true when a rule fails it
    bool Fail(DWORD code);                              // sets the last error, answers FALSE
    HANDLE FailHandle(DWORD code);
    bool SharingAllows(const Entry* entry, DWORD access, DWORD share) const;
    bool OpenWithoutDeleteSharing(const Entry* entry) const;
    bool OpenBelow(const std::u16string& key) const;
    Open* Handle(HANDLE h, bool find);
    HANDLE NewHandle(Open open);
    std::shared_ptr<Entry> Make(const std::u16string& key, const std::u16string& spelt,
                                DWORD attributes);
    void MakeParents(const std::u16string& key, const std::u16string& spelt);

    Map entries_;
    std::map<std::uintptr_t, Open> handles_;
    std::uintptr_t nextHandle_ = 0x1000;
    std::vector<Rule> rules_;
    std::map<std::u16string, Short> shortWrites_;
    std::vector<Call> calls_;
    FILETIME now_;
    DWORD lastError_ = 0;
};

} // namespace nv
