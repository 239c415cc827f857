#include "uninstaller/MemoryFilesA.h"

#ifndef ERROR_NO_MORE_FILES
constexpr DWORD ERROR_NO_MORE_FILES = 18;
#endif

namespace nv {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Key(const std::string& path) {
    std::string key(path);
    while (key.size() > 1 && key.back() == '\\')
        key.pop_back();
    for (char& c : key)
        c = Lower(c);
    return key;
}

std::string ParentOf(const std::string& path) {
    const auto slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const auto slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// '*' and '?' as Windows reads them, case-blind; "*.*" also matches names without a dot.
bool Matches(const char* mask, const char* name) {
    if (*mask == '\0')
        return *name == '\0';
    if (*mask == '*') {
        if (mask[1] == '.' && mask[2] == '*' && mask[3] == '\0')
            return true;
        for (const char* n = name;; ++n) {
            if (Matches(mask + 1, n))
                return true;
            if (*n == '\0')
                return false;
        }
    }
    if (*name == '\0')
        return false;
    if (*mask != '?' && Lower(*mask) != Lower(*name))
        return false;
    return Matches(mask + 1, name + 1);
}

const char* Show(const char* text) {
    return text ? text : "(null)";
}

} // namespace

void MemoryFilesA::AddFolder(const std::string& path, DWORD attributes) {
    const std::string parent = ParentOf(path);
    if (!parent.empty() && !find(parent))
        AddFolder(parent);
    Entry& e = entries_[Key(path)];
    e.path = path;
    e.attributes = attributes | FILE_ATTRIBUTE_DIRECTORY;
}

void MemoryFilesA::AddFile(const std::string& path, DWORD attributes) {
    const std::string parent = ParentOf(path);
    if (!parent.empty() && !find(parent))
        AddFolder(parent);
    Entry& e = entries_[Key(path)];
    e.path = path;
    e.attributes = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
}

void MemoryFilesA::SetInUse(const std::string& path, bool inUse) {
    auto it = entries_.find(Key(path));
    if (it != entries_.end())
        it->second.inUse = inUse;
}

void MemoryFilesA::FailNext(Op op, DWORD code) {
    failures_[op].push_back(code);
}

bool MemoryFilesA::Exists(const std::string& path) const {
    return find(path) != nullptr;
}

bool MemoryFilesA::IsFolder(const std::string& path) const {
    const Entry* e = find(path);
    return e && e->folder();
}

std::vector<std::string> MemoryFilesA::Paths() const {
    std::vector<std::string> paths;
    for (const auto& [key, e] : entries_)
        paths.push_back(e.path);
    return paths;
}

void MemoryFilesA::Restart() {
    for (const auto& [from, to] : pending_) {
        const Entry* e = find(from);
        if (!e)
            continue;
        if (to.empty()) {
            if (!e->folder() || !hasChildren(from))
                erase(from);
        } else if (checkMove(from, to, true) == 0) {
            move(from, to);
        }
    }
    pending_.clear();
    for (auto& [key, e] : entries_)
        e.inUse = false; // nothing runs any more
}

const MemoryFilesA::Entry* MemoryFilesA::find(const std::string& path) const {
    auto it = entries_.find(Key(path));
    return it == entries_.end() ? nullptr : &it->second;
}

bool MemoryFilesA::parentExists(const std::string& path) const {
    const std::string parent = ParentOf(Key(path));
    return parent.empty() || IsFolder(parent);
}

bool MemoryFilesA::hasChildren(const std::string& path) const {
    const std::string prefix = Key(path) + '\\';
    auto it = entries_.lower_bound(prefix);
    return it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool MemoryFilesA::injected(Op op) {
    auto it = failures_.find(op);
    if (it == failures_.end() || it->second.empty())
        return false;
    lastError_ = it->second.front();
    it->second.pop_front();
    return true;
}

BOOL MemoryFilesA::fail(DWORD code) {
    lastError_ = code;
    return 0;
}

BOOL MemoryFilesA::succeed() {
    lastError_ = 0;
    return 1;
}

HANDLE MemoryFilesA::FindFirstFileA(const char* pattern, FindDataA* data) {
    log_.push_back(std::string("FindFirstFileA ") + Show(pattern));
    if (injected(Op::FindFirstFile))
        return INVALID_HANDLE_VALUE;
    const std::string text = pattern ? pattern : "";
    const std::string folder = ParentOf(text);
    const std::string mask = NameOf(text);
    if (folder.empty() || !IsFolder(folder)) {
        fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Search search;
    auto add = [&](const std::string& name, DWORD attributes) {
        if (Matches(mask.c_str(), name.c_str()))
            search.found.push_back(FindDataA{attributes, name});
    };
    if (!ParentOf(Key(folder)).empty()) { // a drive's root has no "." or ".."
        add(".", FILE_ATTRIBUTE_DIRECTORY);
        add("..", FILE_ATTRIBUTE_DIRECTORY);
    }
    const std::string prefix = Key(folder) + '\\';
    for (auto it = entries_.lower_bound(prefix);
         it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        if (it->first.find('\\', prefix.size()) == std::string::npos)
            add(NameOf(it->second.path), it->second.attributes);
    }
    if (search.found.empty()) {
        fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *data = search.found[0];
    search.next = 1;
    const std::uintptr_t id = nextSearch_++;
    searches_.emplace(id, std::move(search));
    succeed();
    return reinterpret_cast<HANDLE>(id);
}

BOOL MemoryFilesA::FindNextFileA(HANDLE handle, FindDataA* data) {
    log_.push_back("FindNextFileA");
    if (injected(Op::FindNextFile))
        return 0;
    auto it = searches_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == searches_.end())
        return fail(ERROR_INVALID_HANDLE);
    Search& s = it->second;
    if (s.next >= s.found.size())
        return fail(ERROR_NO_MORE_FILES);
    *data = s.found[s.next++];
    return succeed();
}

BOOL MemoryFilesA::FindClose(HANDLE handle) {
    log_.push_back("FindClose");
    if (searches_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0)
        return fail(ERROR_INVALID_HANDLE);
    return succeed();
}

BOOL MemoryFilesA::DeleteFileA(const char* path) {
    log_.push_back(std::string("DeleteFileA ") + Show(path));
    if (injected(Op::DeleteFile))
        return 0;
    const std::string p = path ? path : "";
    const Entry* e = find(p);
    if (!e)
        return fail(parentExists(p) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    if (e->folder() || e->inUse || (e->attributes & FILE_ATTRIBUTE_READONLY))
        return fail(ERROR_ACCESS_DENIED);
    erase(p);
    return succeed();
}

BOOL MemoryFilesA::RemoveDirectoryA(const char* path) {
    log_.push_back(std::string("RemoveDirectoryA ") + Show(path));
    if (injected(Op::RemoveDirectory))
        return 0;
    const std::string p = path ? path : "";
    const Entry* e = find(p);
    if (!e)
        return fail(parentExists(p) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    if (!e->folder())
        return fail(ERROR_DIRECTORY);
    if (hasChildren(p))
        return fail(ERROR_DIR_NOT_EMPTY);
    erase(p);
    return succeed();
}

DWORD MemoryFilesA::checkMove(const std::string& from, const std::string& to, bool replace) const {
    const Entry* source = find(from);
    if (!source)
        return parentExists(from) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (!parentExists(to))
        return ERROR_PATH_NOT_FOUND;
    const Entry* target = find(to);
    if (target && target != source) {
        if (!replace || target->folder() || source->folder())
            return ERROR_ALREADY_EXISTS;
        if (target->inUse || (target->attributes & FILE_ATTRIBUTE_READONLY))
            return ERROR_ACCESS_DENIED;
    }
    if (source->folder() && Key(to).compare(0, Key(from).size() + 1, Key(from) + '\\') == 0)
        return ERROR_SHARING_VIOLATION; // into itself
    return 0;
}

void MemoryFilesA::move(const std::string& from, const std::string& to) {
    const std::string fromKey = Key(from);
    const std::string toKey = Key(to);
    std::map<std::string, Entry> moved;
    for (auto it = entries_.begin(); it != entries_.end();) {
        const bool self = it->first == fromKey;
        const bool below = it->first.compare(0, fromKey.size() + 1, fromKey + '\\') == 0;
        if (self || below) {
            Entry e = it->second;
            e.path = to + e.path.substr(from.size());
            moved[toKey + it->first.substr(fromKey.size())] = e;
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [key, e] : moved)
        entries_[key] = e;
}

void MemoryFilesA::erase(const std::string& path) {
    entries_.erase(Key(path));
}

BOOL MemoryFilesA::MoveFileA(const char* from, const char* to) {
    log_.push_back(std::string("MoveFileA ") + Show(from) + " -> " + Show(to));
    if (injected(Op::MoveFile))
        return 0;
    if (!from || !to)
        return fail(ERROR_INVALID_PARAMETER);
    if (DWORD code = checkMove(from, to, false))
        return fail(code);
    move(from, to);
    return succeed();
}

BOOL MemoryFilesA::MoveFileExA(const char* from, const char* to, DWORD flags) {
    log_.push_back(std::string("MoveFileExA ") + Show(from) + " -> " + Show(to) + " " +
                   std::to_string(flags));
    if (injected(Op::MoveFileEx))
        return 0;
    if (!from)
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        pending_.emplace_back(from, to ? to : "");
        return succeed();
    }
    if (!to)
        return fail(ERROR_INVALID_PARAMETER);
    const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    if (DWORD code = checkMove(from, to, replace))
        return fail(code);
    if (replace && find(to) != find(from))
        erase(to);
    move(from, to);
    return succeed();
}

} // namespace nv
