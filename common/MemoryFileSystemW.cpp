#include "common/MemoryFileSystemW.h"

#include <algorithm>
#include <cstring>

namespace nv {

namespace {

constexpr DWORD kSettableAttributes = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;
constexpr DWORD kRootAttributes =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorBadDeviceType = 66;

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool IsDriveLetter(char16_t c) {
    c = Upper(c);
    return c >= u'A' && c <= u'Z';
}

} // namespace

MemoryFileSystemW::MemoryFileSystemW() {
    // 2020-01-01 00:00:00 UTC
    const unsigned long long t = 132223104000000000ull;
    now_.dwLowDateTime = static_cast<DWORD>(t);
    now_.dwHighDateTime = static_cast<DWORD>(t >> 32);
    AddDrive(u'C');
}

bool MemoryFileSystemW::Resolve(const char16_t* path, std::u16string& key, std::u16string& spelt) {
    if (!path)
        return false;
    std::u16string s(path);
    const bool longForm = s.rfind(u"\\\\?\\", 0) == 0;
    if (longForm) {
        s.erase(0, 4);
        if (s.size() == 2) // "\\?\C:" names the volume, not its root folder
            return false;
    }
    while (s.size() > 2 && s.back() == u'\\')
        s.pop_back();
    if (s.size() < 2 || !IsDriveLetter(s[0]) || s[1] != u':' || (s.size() > 2 && s[2] != u'\\'))
        return false;
    if (s.size() == 3) // "C:\"
        s.pop_back();
    spelt = s;
    spelt[0] = Upper(spelt[0]);
    key = s;
    std::transform(key.begin(), key.end(), key.begin(), Upper);
    return true;
}

DWORD MemoryFileSystemW::Unresolved(const char16_t* path) {
    const std::u16string s = path ? path : u"";
    // What Windows answers for the volume device itself.
    if (s.size() == 6 && s.compare(0, 4, u"\\\\?\\") == 0 && s[5] == u':')
        return kErrorBadDeviceType;
    return ERROR_PATH_NOT_FOUND;
}

std::u16string MemoryFileSystemW::Parent(const std::u16string& key) {
    const auto pos = key.rfind(u'\\');
    return pos == std::u16string::npos ? std::u16string() : key.substr(0, pos);
}

std::shared_ptr<MemoryFileSystemW::Entry>
MemoryFileSystemW::Lookup(const std::u16string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second;
}

DWORD MemoryFileSystemW::MissingCode(const std::u16string& key) const {
    const std::u16string parent = Parent(key);
    if (parent.empty())
        return ERROR_PATH_NOT_FOUND; // a drive that does not exist
    auto p = Lookup(parent);
    return p && p->folder() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool MemoryFileSystemW::Injected(Op op, const std::u16string& spelt) {
    calls_.push_back({op, spelt});
    std::u16string key, ignored;
    if (!Resolve(spelt.c_str(), key, ignored))
        key.clear();
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->op != op || (!it->key.empty() && it->key != key))
            continue;
        lastError_ = it->code;
        if (it->times != kAlways && --it->times == 0)
            rules_.erase(it);
        return true;
    }
    return false;
}

bool MemoryFileSystemW::Fail(DWORD code) {
    lastError_ = code;
    return false;
}

HANDLE MemoryFileSystemW::FailHandle(DWORD code) {
    lastError_ = code;
    return INVALID_HANDLE_VALUE;
}

std::shared_ptr<MemoryFileSystemW::Entry>
MemoryFileSystemW::Make(const std::u16string& key, const std::u16string& spelt, DWORD attributes) {
    auto e = std::make_shared<Entry>();
    e->path = spelt;
    e->attributes = attributes;
    e->creation = e->lastAccess = e->lastWrite = now_;
    entries_[key] = e;
    return e;
}

void MemoryFileSystemW::MakeParents(const std::u16string& key, const std::u16string& spelt) {
    const std::u16string parent = Parent(key);
    if (parent.empty() || Lookup(parent))
        return;
    const std::u16string parentSpelt = spelt.substr(0, parent.size());
    MakeParents(parent, parentSpelt);
    Make(parent, parentSpelt, FILE_ATTRIBUTE_DIRECTORY);
}

void MemoryFileSystemW::AddDrive(char16_t letter) {
    const std::u16string spelt{Upper(letter), u':'};
    Make(spelt, spelt, kRootAttributes);
}

void MemoryFileSystemW::AddFolder(const std::u16string& path, DWORD attributes) {
    std::u16string key, spelt;
    if (!Resolve(path.c_str(), key, spelt))
        return;
    if (Parent(key).empty()) {
        AddDrive(key[0]);
        return;
    }
    MakeParents(key, spelt);
    Make(key, spelt, attributes | FILE_ATTRIBUTE_DIRECTORY);
}

void MemoryFileSystemW::AddJunction(const std::u16string& path) {
    AddFolder(path, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
}

void MemoryFileSystemW::AddFile(const std::u16string& path, std::string data, DWORD attributes) {
    std::u16string key, spelt;
    if (!Resolve(path.c_str(), key, spelt) || Parent(key).empty())
        return;
    MakeParents(key, spelt);
    Make(key, spelt, attributes & ~FILE_ATTRIBUTE_DIRECTORY)->data = std::move(data);
}

void MemoryFileSystemW::SetRunningImage(const std::u16string& path, bool running) {
    std::u16string key, spelt;
    if (Resolve(path.c_str(), key, spelt))
        if (auto e = Lookup(key))
            e->runningImage = running;
}

HANDLE MemoryFileSystemW::HoldOpen(const std::u16string& path, DWORD access, DWORD share) {
    std::u16string key, spelt;
    if (!Resolve(path.c_str(), key, spelt))
        return INVALID_HANDLE_VALUE;
    auto e = Lookup(key);
    if (!e || e->folder())
        return INVALID_HANDLE_VALUE;
    return NewHandle({e, false, access, share, 0});
}

void MemoryFileSystemW::FailNext(Op op, DWORD code, const std::u16string& path, unsigned times) {
    std::u16string key, spelt;
    if (!path.empty() && !Resolve(path.c_str(), key, spelt))
        key = u"?"; // matches nothing
    if (times > 0)
        rules_.push_back({op, code, key, times});
}

void MemoryFileSystemW::ShortWrite(const std::u16string& path, DWORD written, DWORD lastError) {
    std::u16string key, spelt;
    if (Resolve(path.c_str(), key, spelt))
        shortWrites_[key] = {written, lastError};
}

void MemoryFileSystemW::ClearFailures() {
    rules_.clear();
    shortWrites_.clear();
}

const MemoryFileSystemW::Entry* MemoryFileSystemW::Find(const std::u16string& path) const {
    std::u16string key, spelt;
    if (!Resolve(path.c_str(), key, spelt))
        return nullptr;
    return Lookup(key).get();
}

bool MemoryFileSystemW::IsFolder(const std::u16string& path) const {
    const Entry* e = Find(path);
    return e && e->folder();
}

std::vector<std::u16string> MemoryFileSystemW::Paths() const {
    std::vector<std::u16string> out;
    for (const auto& [key, e] : entries_)
        out.push_back(e->path);
    return out;
}

unsigned MemoryFileSystemW::CallCount(Op op) const {
    return static_cast<unsigned>(
        std::count_if(calls_.begin(), calls_.end(), [op](const Call& c) { return c.op == op; }));
}

bool MemoryFileSystemW::SharingAllows(const Entry* entry, DWORD access, DWORD share) const {
    for (const auto& [id, open] : handles_) {
        if (open.find || open.entry.get() != entry)
            continue;
        if (((access & GENERIC_WRITE) && !(open.share & FILE_SHARE_WRITE)) ||
            ((access & GENERIC_READ) && !(open.share & FILE_SHARE_READ)) ||
            ((open.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) ||
            ((open.access & GENERIC_READ) && !(share & FILE_SHARE_READ)))
            return false;
    }
    return true;
}

bool MemoryFileSystemW::OpenWithoutDeleteSharing(const Entry* entry) const {
    for (const auto& [id, open] : handles_)
        if (!open.find && open.entry.get() == entry && !(open.share & FILE_SHARE_DELETE))
            return true;
    return false;
}

bool MemoryFileSystemW::OpenBelow(const std::u16string& key) const {
    const std::u16string prefix = key + u"\\";
    for (const auto& [id, open] : handles_) {
        if (open.find)
            continue;
        std::u16string k, s;
        if (Resolve(open.entry->path.c_str(), k, s) && k.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

MemoryFileSystemW::Open* MemoryFileSystemW::Handle(HANDLE h, bool find) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == handles_.end() || it->second.find != find ? nullptr : &it->second;
}

HANDLE MemoryFileSystemW::NewHandle(Open open) {
    const std::uintptr_t id = nextHandle_;
    nextHandle_ += 4;
    handles_[id] = std::move(open);
    return reinterpret_cast<HANDLE>(id);
}

DWORD MemoryFileSystemW::GetFileAttributesW(const char16_t* fileName) {
    if (Injected(Op::GetFileAttributes, fileName ? fileName : u""))
        return INVALID_FILE_ATTRIBUTES;
    std::u16string key, spelt;
    if (!Resolve(fileName, key, spelt)) {
        lastError_ = Unresolved(fileName);
        return INVALID_FILE_ATTRIBUTES;
    }
    auto e = Lookup(key);
    if (!e) {
        lastError_ = MissingCode(key);
        return INVALID_FILE_ATTRIBUTES;
    }
    return e->attributes ? e->attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL MemoryFileSystemW::CreateDirectoryW(const char16_t* pathName, void*) {
    if (Injected(Op::CreateDirectory, pathName ? pathName : u""))
        return FALSE;
    std::u16string key, spelt;
    if (!Resolve(pathName, key, spelt))
        return Fail(Unresolved(pathName));
    if (Lookup(key))
        return Fail(ERROR_ALREADY_EXISTS);
    auto parent = Lookup(Parent(key));
    if (!parent || !parent->folder())
        return Fail(ERROR_PATH_NOT_FOUND);
    Make(key, spelt, FILE_ATTRIBUTE_DIRECTORY);
    lastError_ = 0;
    return TRUE;
}

HANDLE MemoryFileSystemW::CreateFileW(const char16_t* fileName, DWORD access, DWORD share, void*,
                                      DWORD disposition, DWORD flags, HANDLE) {
    if (Injected(Op::CreateFile, fileName ? fileName : u""))
        return INVALID_HANDLE_VALUE;
    std::u16string key, spelt;
    if (!Resolve(fileName, key, spelt))
        return FailHandle(Unresolved(fileName));
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return FailHandle(ERROR_INVALID_PARAMETER);
    auto e = Lookup(key);
    if (!e) {
        auto parent = Lookup(Parent(key));
        if (!parent || !parent->folder())
            return FailHandle(ERROR_PATH_NOT_FOUND);
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return FailHandle(ERROR_FILE_NOT_FOUND);
        e = Make(key, spelt, (flags & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE);
        lastError_ = 0;
        return NewHandle({e, false, access, share, 0});
    }

    if (e->folder())
        return FailHandle(ERROR_ACCESS_DENIED);
    if (disposition == CREATE_NEW)
        return FailHandle(kErrorFileExists);
    const bool writes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS ||
                        disposition == TRUNCATE_EXISTING;
    if (writes && (e->attributes & FILE_ATTRIBUTE_READONLY))
        return FailHandle(ERROR_ACCESS_DENIED);
    if (writes && e->runningImage)
        return FailHandle(ERROR_SHARING_VIOLATION);
    if (!SharingAllows(e.get(), access, share))
        return FailHandle(ERROR_SHARING_VIOLATION);
    if (disposition == CREATE_ALWAYS) {
        // Windows refuses to replace a hidden or system file unless the caller keeps those bits.
        const DWORD keep = e->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if ((flags & keep) != keep)
            return FailHandle(ERROR_ACCESS_DENIED);
        e->attributes = (flags & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        e->data.clear();
        e->lastWrite = e->lastAccess = now_;
    }
    lastError_ =
        (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
    return NewHandle({e, false, access, share, 0});
}

BOOL MemoryFileSystemW::WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                                  void*) {
    Open* open = Handle(file, false);
    if (Injected(Op::WriteFile, open ? open->entry->path : u""))
        return FALSE;
    if (written)
        *written = 0;
    if (!open)
        return Fail(ERROR_INVALID_HANDLE);
    if (!(open->access & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    if (toWrite > 0 && !buffer)
        return Fail(ERROR_INVALID_PARAMETER);
    std::u16string key, spelt;
    DWORD n = toWrite;
    if (Resolve(open->entry->path.c_str(), key, spelt)) {
        auto it = shortWrites_.find(key);
        if (it != shortWrites_.end()) {
            n = std::min(n, it->second.written);
            if (it->second.lastError)
                lastError_ = it->second.lastError;
        }
    }
    std::string& data = open->entry->data;
    if (data.size() < open->position + n)
        data.resize(open->position + n);
    if (n > 0)
        std::memcpy(&data[open->position], buffer, n);
    open->position += n;
    open->entry->lastWrite = now_;
    if (written)
        *written = n;
    return TRUE;
}

BOOL MemoryFileSystemW::SetFileTime(HANDLE file, const FILETIME* creation,
                                    const FILETIME* lastAccess, const FILETIME* lastWrite) {
    Open* open = Handle(file, false);
    if (Injected(Op::SetFileTime, open ? open->entry->path : u""))
        return FALSE;
    if (!open)
        return Fail(ERROR_INVALID_HANDLE);
    if (!(open->access & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    if (creation)
        open->entry->creation = *creation;
    if (lastAccess)
        open->entry->lastAccess = *lastAccess;
    if (lastWrite)
        open->entry->lastWrite = *lastWrite;
    return TRUE;
}

BOOL MemoryFileSystemW::CloseHandle(HANDLE object) {
    Open* open = Handle(object, false);
    if (Injected(Op::CloseHandle, open ? open->entry->path : u""))
        return FALSE;
    if (!open)
        return Fail(ERROR_INVALID_HANDLE);
    handles_.erase(reinterpret_cast<std::uintptr_t>(object));
    return TRUE;
}

HANDLE MemoryFileSystemW::FindFirstFileW(const char16_t* fileName, FindDataW* findData) {
    if (Injected(Op::FindFirstFile, fileName ? fileName : u""))
        return INVALID_HANDLE_VALUE;
    std::u16string key, spelt;
    if (!Resolve(fileName, key, spelt))
        return FailHandle(Unresolved(fileName));
    if (Parent(key).empty()) // a drive root has no entry of its own to list
        return FailHandle(ERROR_FILE_NOT_FOUND);
    auto e = Lookup(key);
    if (!e)
        return FailHandle(MissingCode(key));
    if (findData) {
        findData->dwFileAttributes = e->attributes ? e->attributes : FILE_ATTRIBUTE_NORMAL;
        findData->ftCreationTime = e->creation;
        findData->ftLastAccessTime = e->lastAccess;
        findData->ftLastWriteTime = e->lastWrite;
        const unsigned long long size = e->data.size();
        findData->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        findData->nFileSizeLow = static_cast<DWORD>(size);
        findData->cFileName = e->path.substr(e->path.rfind(u'\\') + 1);
    }
    return NewHandle({e, true, 0, 0, 0});
}

BOOL MemoryFileSystemW::FindClose(HANDLE findFile) {
    Open* open = Handle(findFile, true);
    if (Injected(Op::FindClose, open ? open->entry->path : u""))
        return FALSE;
    if (!open)
        return Fail(ERROR_INVALID_HANDLE);
    handles_.erase(reinterpret_cast<std::uintptr_t>(findFile));
    return TRUE;
}

BOOL MemoryFileSystemW::SetFileAttributesW(const char16_t* fileName, DWORD attributes) {
    if (Injected(Op::SetFileAttributes, fileName ? fileName : u""))
        return FALSE;
    std::u16string key, spelt;
    if (!Resolve(fileName, key, spelt))
        return Fail(Unresolved(fileName));
    auto e = Lookup(key);
    if (!e)
        return Fail(MissingCode(key));
    const DWORD fixed = e->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    e->attributes = fixed | (attributes & kSettableAttributes);
    return TRUE;
}

BOOL MemoryFileSystemW::DeleteFileW(const char16_t* fileName) {
    if (Injected(Op::DeleteFile, fileName ? fileName : u""))
        return FALSE;
    std::u16string key, spelt;
    if (!Resolve(fileName, key, spelt))
        return Fail(Unresolved(fileName));
    auto e = Lookup(key);
    if (!e)
        return Fail(MissingCode(key));
    if (e->folder() || (e->attributes & FILE_ATTRIBUTE_READONLY) || e->runningImage)
        return Fail(ERROR_ACCESS_DENIED);
    if (OpenWithoutDeleteSharing(e.get()))
        return Fail(ERROR_SHARING_VIOLATION);
    entries_.erase(key);
    return TRUE;
}

BOOL MemoryFileSystemW::MoveFileW(const char16_t* from, const char16_t* to) {
    if (Injected(Op::MoveFile, from ? from : u""))
        return FALSE;
    std::u16string key, spelt, toKey, toSpelt;
    if (!Resolve(from, key, spelt))
        return Fail(Unresolved(from));
    auto e = Lookup(key);
    if (!e)
        return Fail(MissingCode(key));
    if (!Resolve(to, toKey, toSpelt))
        return Fail(Unresolved(to));
    if (Parent(key).empty() || toKey.rfind(key + u"\\", 0) == 0)
        return Fail(ERROR_ACCESS_DENIED);
    if (toKey == key) {
        e->path = toSpelt; // a change of case only
        return TRUE;
    }
    if (Lookup(toKey))
        return Fail(ERROR_ALREADY_EXISTS);
    auto parent = Lookup(Parent(toKey));
    if (!parent || !parent->folder())
        return Fail(ERROR_PATH_NOT_FOUND);
    if (OpenWithoutDeleteSharing(e.get()))
        return Fail(ERROR_SHARING_VIOLATION);
    if (e->folder()) {
        if (OpenBelow(key))
            return Fail(ERROR_ACCESS_DENIED);
        const std::u16string prefix = key + u"\\";
        std::vector<std::pair<std::u16string, std::shared_ptr<Entry>>> moved;
        for (auto it = entries_.lower_bound(prefix);
             it != entries_.end() && it->first.rfind(prefix, 0) == 0;)
            moved.emplace_back(it->first, it->second), it = entries_.erase(it);
        for (auto& [childKey, child] : moved) {
            child->path = toSpelt + child->path.substr(spelt.size());
            entries_[toKey + childKey.substr(key.size())] = child;
        }
    }
    entries_.erase(key);
    e->path = toSpelt;
    entries_[toKey] = e;
    return TRUE;
}

} // namespace nv
