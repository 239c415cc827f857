// An in-memory disk behind the uninstaller's file interface: folders and
// files with attributes, Windows' failure codes, any failure injectable, a
// log of the calls, and the delete-at-restart list that a restart applies.
// Paths are full ("C:\dir\file"), compared without regard to ASCII case.
#pragma once

#include "uninstaller/FileApiA.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nv {

class MemoryFilesA final : public FileApiA {
  public:
    enum class Op {
        FindFirstFile,
        FindNextFile,
        DeleteFile,
        RemoveDirectory,
        MoveFile,
        MoveFileEx
    };

    // Setting up: missing parents are created as plain folders.
    void AddFolder(const std::string& path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY);
    void AddFile(const std::string& path, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    // A running program's image: it can be renamed but not deleted.
    void SetInUse(const std::string& path, bool inUse = true);
    // The next call of `op` fails with `code`; several queue up in order.
    void FailNext(Op op, DWORD code);

    bool Exists(const std::string& path) const;
    bool IsFolder(const std::string& path) const;
    std::vector<std::string> Paths() const; // every entry as spelt, in key order
    // MoveFileExA requests kept for the restart: (from, to), `to` empty = delete.
    const std::vector<std::pair<std::string, std::string>>& PendingRenames() const {
        return pending_;
    }
    void Restart(); // applies the pending requests, as Windows does at boot
    // One line per call ("DeleteFileA C:\x"); tests may append their own.
    std::vector<std::string>& Log() { return log_; }
    std::size_t OpenSearches() const { return searches_.size(); }

    HANDLE FindFirstFileA(const char* pattern, FindDataA* data) override;
    BOOL FindNextFileA(HANDLE search, FindDataA* data) override;
    BOOL FindClose(HANDLE search) override;
    BOOL DeleteFileA(const char* path) override;
    BOOL RemoveDirectoryA(const char* path) override;
    BOOL MoveFileA(const char* from, const char* to) override;
    BOOL MoveFileExA(const char* from, const char* to, DWORD flags) override;
    DWORD GetLastError() override { return lastError_; }

  private:
    struct Entry {
        std::string path; // as spelt when created or renamed
        DWORD attributes = 0;
        bool inUse = false;
        bool folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    };
    struct Search {
        std::vector<FindDataA> found;
        std::size_t next = 0;
    };

    const Entry* find(const std::string& path) const;
    bool parentExists(const std::string& path) const;
    bool hasChildren(const std::string& path) const;
    bool injected(Op op);
    BOOL fail(DWORD code);
    BOOL succeed();
    DWORD checkMove(const std::string& from, const std::string& to, bool replace) const;
    void move(const std::string& from, const std::string& to);
    void erase(const std::string& path);

    std::map<std::string, Entry> entries_; // key: lower-cased path
    std::map<std::uintptr_t, Search> searches_;
    std::uintptr_t nextSearch_ = 0x100;
    std::map<Op, std::deque<DWORD>> failures_;
    std::vector<std::pair<std::string, std::string>> pending_;
    std::vector<std::string> log_;
    DWORD lastError_ = 0;
};

} // namespace nv
