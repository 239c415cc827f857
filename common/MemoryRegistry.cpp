#include "common/MemoryRegistry.h"

#include <algorithm>
#include <cstring>

namespace nv {

namespace {

constexpr LONG kKeyDeleted = 1018; // ERROR_KEY_DELETED
constexpr LONG kBadPathname = 161; // ERROR_BAD_PATHNAME
constexpr LONG kInvalidParameter = 87;
constexpr LONG kNoAccess = 998; // ERROR_NOACCESS
constexpr DWORD kQueryValue = 0x1;
constexpr DWORD kSetValue = 0x2;
constexpr DWORD kEnumerate = 0x8;
constexpr DWORD kWriteRights = 0x2 | 0x4 | 0x20 | 0x10000 | 0x40000 | 0x80000;
constexpr DWORD kKeyRead = 0x20019;
constexpr DWORD kKeyWrite = 0x20006;
constexpr DWORD kKeyAllAccess = 0xF003F;
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u,
                kGenericExecute = 0x20000000u, kGenericAll = 0x10000000u;
constexpr DWORD kView64 = 0x100, kView32 = 0x200;

// Windows compares registry names without regard to case; for the 8-bit
// names this system uses, ASCII and the Windows-1252 letters are enough.
char FoldChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z')
        return static_cast<char>(u - 0x20);
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7)
        return static_cast<char>(u - 0x20);
    switch (u) {
    case 0x9A:
        return static_cast<char>(0x8A);
    case 0x9C:
        return static_cast<char>(0x8C);
    case 0x9E:
        return static_cast<char>(0x8E);
    case 0xFF:
        return static_cast<char>(0x9F);
    default:
        return c;
    }
}

std::string Fold(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = FoldChar(c);
    return out;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Fold(a) == Fold(b);
}

// Splits a sub-key path as Windows does: a leading backslash is refused,
// doubled and trailing ones are passed over.
LONG SplitPath(std::string_view path, std::vector<std::string>& parts) {
    parts.clear();
    if (path.empty())
        return 0;
    if (path.front() == '\\')
        return kBadPathname;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty())
            out += '\\';
        out += p;
    }
    return out;
}

const char* RootName(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE)
        return "HKLM";
    if (root == HKEY_CURRENT_USER)
        return "HKCU";
    if (root == HKEY_CLASSES_ROOT)
        return "HKCR";
    if (root == HKEY_USERS)
        return "HKU";
    return "?";
}

DWORD MapGeneric(DWORD access) {
    DWORD out = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
    if (access & kGenericRead)
        out |= kKeyRead;
    if (access & kGenericExecute)
        out |= kKeyRead;
    if (access & kGenericWrite)
        out |= kKeyWrite;
    if (access & kGenericAll)
        out |= kKeyAllAccess;
    return out;
}

} // namespace

struct MemoryRegistry::Node {
    std::string name;
    std::map<std::string, std::shared_ptr<Node>> children;          // by folded name
    std::map<std::string, std::pair<std::string, RegValue>> values; // folded -> (name, value)
    bool deleted = false;
    std::uint64_t lastWrite = 0;
};

struct MemoryRegistry::Handle {
    std::shared_ptr<Node> node;
    HKEY root;
    std::vector<std::string> parts; // stored path below the root
    DWORD granted;
};

struct MemoryRegistry::Target {
    HKEY root = nullptr;
    std::vector<std::string> parts; // stored path below the root
    Handle* base = nullptr;         // the handle the path was given relative to, if any
};

namespace {
void MarkDeleted(MemoryRegistry::Node& node) {
    node.deleted = true;
    for (auto& [name, child] : node.children)
        MarkDeleted(*child);
}
} // namespace

MemoryRegistry::MemoryRegistry(Machine machine) : machine_(machine) {
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS})
        roots_[reinterpret_cast<std::uintptr_t>(root)] = std::make_shared<Node>();
}

MemoryRegistry::~MemoryRegistry() = default;

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::RootNode(HKEY root) const {
    auto it = roots_.find(reinterpret_cast<std::uintptr_t>(root));
    return it == roots_.end() ? nullptr : it->second;
}

bool MemoryRegistry::IsRoot(HKEY key) const {
    return RootNode(key) != nullptr;
}

MemoryRegistry::Handle* MemoryRegistry::FindHandle(HKEY key) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    return it == handles_.end() ? nullptr : it->second.get();
}

// Which branch a path from the machine root takes, given the view flags.
namespace {
bool Redirects32(MemoryRegistry::Machine machine, DWORD access) {
    switch (machine) {
    case MemoryRegistry::Machine::Windows32:
        return false;
    case MemoryRegistry::Machine::Wow64:
        return !(access & kView64);
    case MemoryRegistry::Machine::Windows64:
        return (access & kView32) != 0;
    }
    return false;
}

void ApplyView(HKEY root, std::vector<std::string>& parts, bool view32) {
    if (!view32 || root != HKEY_LOCAL_MACHINE || parts.empty() || !SameName(parts[0], "SOFTWARE"))
        return;
    if (parts.size() >= 2 && SameName(parts[1], "Wow6432Node"))
        return;
    parts.insert(parts.begin() + 1, "Wow6432Node");
}

DWORD ViewAccess(RegView view) {
    switch (view) {
    case RegView::Key64:
        return kView64;
    case RegView::Key32:
        return kView32;
    default:
        return 0;
    }
}
} // namespace

LONG MemoryRegistry::Resolve(HKEY key, const char* subKey, DWORD access, Target& out) {
    if ((access & kView64) && (access & kView32))
        return kInvalidParameter;
    std::vector<std::string> sub;
    if (LONG rc = SplitPath(subKey ? subKey : "", sub))
        return rc;
    if (IsRoot(key)) {
        out.root = key;
        out.parts = std::move(sub);
        ApplyView(key, out.parts, Redirects32(machine_, access));
        return 0;
    }
    Handle* h = FindHandle(key);
    if (!h)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (h->node->deleted)
        return kKeyDeleted;
    out.root = h->root;
    out.base = h;
    out.parts = h->parts;
    out.parts.insert(out.parts.end(), sub.begin(), sub.end());
    return 0;
}

std::shared_ptr<MemoryRegistry::Node>
MemoryRegistry::FindNode(HKEY root, const std::string& storedPath) const {
    std::vector<std::string> parts;
    if (SplitPath(storedPath, parts))
        return nullptr;
    std::shared_ptr<Node> node = RootNode(root);
    for (const auto& p : parts) {
        if (!node)
            return nullptr;
        auto it = node->children.find(Fold(p));
        if (it == node->children.end())
            return nullptr;
        node = it->second;
    }
    return node;
}

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::MakeNode(HKEY root,
                                                               const std::string& storedPath) {
    std::vector<std::string> parts;
    if (SplitPath(storedPath, parts))
        return nullptr;
    std::shared_ptr<Node> node = RootNode(root);
    for (const auto& p : parts) {
        if (!node)
            return nullptr;
        auto& slot = node->children[Fold(p)];
        if (!slot) {
            slot = std::make_shared<Node>();
            slot->name = p;
            slot->lastWrite = ++writeClock_;
        }
        node = slot;
    }
    return node;
}

bool MemoryRegistry::WriteDenied(HKEY root, const std::string& path) const {
    const std::string folded = Fold(path);
    for (const auto& [r, denied] : denied_) {
        if (r != root)
            continue;
        if (denied.empty() || folded == denied ||
            (folded.size() > denied.size() && folded.compare(0, denied.size(), denied) == 0 &&
             folded[denied.size()] == '\\'))
            return true;
    }
    return false;
}

LONG MemoryRegistry::CheckFault(RegCall call, HKEY root, const std::string& path,
                                const char* value) {
    const bool valueCall =
        call == RegCall::QueryValue || call == RegCall::SetValue || call == RegCall::DeleteValue;
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const Fault& f = faults_[i];
        if (f.call != call)
            continue;
        if (!f.path.empty() && (f.root != root || !SameName(f.path, path)))
            continue;
        if (valueCall && f.value && !SameName(*f.value, value ? value : ""))
            continue;
        unsigned hit = ++faultHits_[i];
        if (hit <= f.skip)
            continue;
        if (f.times >= 0 && hit > f.skip + static_cast<unsigned>(f.times))
            continue;
        return f.code;
    }
    return 0;
}

void MemoryRegistry::Log(RegCall call, HKEY root, const std::string& path, const char* name,
                         DWORD access, LONG result) {
    CallRecord r{call, std::string(RootName(root)), name ? name : "", access, result};
    if (!path.empty())
        r.path += "\\" + path;
    calls_.push_back(std::move(r));
}

HKEY MemoryRegistry::NewHandle(std::shared_ptr<Node> node, HKEY root, std::string path,
                               DWORD granted) {
    auto h = std::make_unique<Handle>();
    h->node = std::move(node);
    h->root = root;
    SplitPath(path, h->parts);
    h->granted = granted;
    std::uintptr_t id = nextHandle_;
    nextHandle_ += 8;
    handles_[id] = std::move(h);
    return reinterpret_cast<HKEY>(id);
}

LONG MemoryRegistry::OpenOrCreate(RegCall call, HKEY key, const char* subKey, DWORD access,
                                  HKEY* result, DWORD* disposition) {
    if (result)
        *result = nullptr;
    Target t;
    LONG rc = Resolve(key, subKey, access, t);
    const std::string path = Join(t.parts);
    auto finish = [&](LONG code) {
        Log(call, t.root ? t.root : key, path, subKey, access, code);
        return code;
    };
    if (rc)
        return finish(rc);
    if (!result)
        return finish(kInvalidParameter);
    if (LONG f = CheckFault(call, t.root, path, nullptr))
        return finish(f);

    DWORD wanted = MapGeneric(access & ~(kView64 | kView32));
    const bool denied = WriteDenied(t.root, path);
    DWORD granted;
    if (wanted & kMaximumAllowed)
        granted = (wanted & ~kMaximumAllowed) | (denied ? kKeyRead : kKeyAllAccess);
    else
        granted = wanted;
    if (denied && (granted & kWriteRights))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));

    std::shared_ptr<Node> node = FindNode(t.root, path);
    if (!node && call == RegCall::OpenKey)
        return finish(static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    if (!node) {
        if (denied)
            return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
        node = MakeNode(t.root, path);
        if (disposition)
            *disposition = 1; // REG_CREATED_NEW_KEY
    } else if (call == RegCall::CreateKey && disposition) {
        *disposition = 2; // REG_OPENED_EXISTING_KEY
    }
    *result = NewHandle(node, t.root, path, granted);
    return finish(0);
}

LONG MemoryRegistry::RegOpenKeyExA(HKEY key, const char* subKey, DWORD, DWORD access,
                                   HKEY* result) {
    std::lock_guard lock(mutex_);
    return OpenOrCreate(RegCall::OpenKey, key, subKey, access, result, nullptr);
}

LONG MemoryRegistry::RegCreateKeyExA(HKEY key, const char* subKey, DWORD, char*, DWORD,
                                     DWORD access, void*, HKEY* result, DWORD* disposition) {
    std::lock_guard lock(mutex_);
    if (!subKey) {
        if (result)
            *result = nullptr;
        Log(RegCall::CreateKey, key, "", nullptr, access, kInvalidParameter);
        return kInvalidParameter;
    }
    return OpenOrCreate(RegCall::CreateKey, key, subKey, access, result, disposition);
}

LONG MemoryRegistry::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                      BYTE* data, DWORD* dataSize) {
    std::lock_guard lock(mutex_);
    Target t;
    LONG rc = Resolve(key, nullptr, 0, t);
    const std::string path = Join(t.parts);
    auto finish = [&](LONG code) {
        Log(RegCall::QueryValue, t.root ? t.root : key, path, valueName, 0, code);
        return code;
    };
    if (rc)
        return finish(rc);
    if (t.base && !(t.base->granted & kQueryValue))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    if (reserved || (data && !dataSize))
        return finish(kInvalidParameter);
    if (LONG f = CheckFault(RegCall::QueryValue, t.root, path, valueName))
        return finish(f);
    std::shared_ptr<Node> node = t.base ? t.base->node : RootNode(t.root);
    auto it = node->values.find(Fold(valueName ? valueName : ""));
    if (it == node->values.end())
        return finish(static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    const RegValue& v = it->second.second;
    if (type)
        *type = v.type;
    if (!dataSize)
        return finish(0);
    const DWORD size = static_cast<DWORD>(v.data.size());
    const bool text = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == 7; // REG_MULTI_SZ
    const DWORD reported = wideSize_ && text ? size * 2 : size;
    if (!data) {
        *dataSize = reported;
        return finish(0);
    }
    if (*dataSize < size) {
        *dataSize = reported;
        return finish(static_cast<LONG>(ERROR_MORE_DATA));
    }
    if (size)
        std::memcpy(data, v.data.data(), size);
    *dataSize = size;
    return finish(0);
}

LONG MemoryRegistry::RegSetValueExA(HKEY key, const char* valueName, DWORD, DWORD type,
                                    const BYTE* data, DWORD dataSize) {
    std::lock_guard lock(mutex_);
    Target t;
    LONG rc = Resolve(key, nullptr, 0, t);
    const std::string path = Join(t.parts);
    auto finish = [&](LONG code) {
        Log(RegCall::SetValue, t.root ? t.root : key, path, valueName, 0, code);
        return code;
    };
    if (rc)
        return finish(rc);
    if (t.base && !(t.base->granted & kSetValue))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    if (!data && dataSize)
        return finish(kNoAccess);
    if (LONG f = CheckFault(RegCall::SetValue, t.root, path, valueName))
        return finish(f);
    if (WriteDenied(t.root, path))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    std::shared_ptr<Node> node = t.base ? t.base->node : RootNode(t.root);
    const std::string name = valueName ? valueName : "";
    // Windows counts a terminator that the caller left just outside the count.
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == 7; // REG_MULTI_SZ
    if (text && dataSize && data[dataSize - 1] != 0 && data[dataSize] == 0)
        ++dataSize;
    RegValue v{type, std::string(reinterpret_cast<const char*>(data), dataSize)};
    auto& slot = node->values[Fold(name)];
    if (slot.first.empty())
        slot.first = name;
    slot.second = std::move(v);
    node->lastWrite = ++writeClock_;
    return finish(0);
}

LONG MemoryRegistry::RegCloseKey(HKEY key) {
    std::lock_guard lock(mutex_);
    if (IsRoot(key)) {
        Log(RegCall::CloseKey, key, "", nullptr, 0, 0);
        return 0;
    }
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == handles_.end()) {
        Log(RegCall::CloseKey, key, "", nullptr, 0, static_cast<LONG>(ERROR_INVALID_HANDLE));
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    const HKEY root = it->second->root;
    const std::string path = Join(it->second->parts);
    LONG f = CheckFault(RegCall::CloseKey, root, path, nullptr);
    handles_.erase(it);
    Log(RegCall::CloseKey, root, path, nullptr, 0, f);
    return f;
}

LONG MemoryRegistry::RegDeleteKeyA(HKEY key, const char* subKey) {
    std::lock_guard lock(mutex_);
    Target t;
    LONG rc = subKey ? Resolve(key, subKey, 0, t) : kInvalidParameter;
    const std::string path = Join(t.parts);
    auto finish = [&](LONG code) {
        Log(RegCall::DeleteKey, t.root ? t.root : key, path, subKey, 0, code);
        return code;
    };
    if (rc)
        return finish(rc);
    if (LONG f = CheckFault(RegCall::DeleteKey, t.root, path, nullptr))
        return finish(f);
    if (t.parts.empty()) // a root cannot go
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    std::vector<std::string> parentParts(t.parts.begin(), t.parts.end() - 1);
    std::shared_ptr<Node> parent = FindNode(t.root, Join(parentParts));
    std::shared_ptr<Node> node = parent ? FindNode(t.root, path) : nullptr;
    if (!node)
        return finish(static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    if (WriteDenied(t.root, path) || !node->children.empty())
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    parent->children.erase(Fold(t.parts.back()));
    parent->lastWrite = ++writeClock_;
    MarkDeleted(*node);
    return finish(0);
}

LONG MemoryRegistry::RegDeleteValueA(HKEY key, const char* valueName) {
    std::lock_guard lock(mutex_);
    Target t;
    LONG rc = Resolve(key, nullptr, 0, t);
    const std::string path = Join(t.parts);
    auto finish = [&](LONG code) {
        Log(RegCall::DeleteValue, t.root ? t.root : key, path, valueName, 0, code);
        return code;
    };
    if (rc)
        return finish(rc);
    if (t.base && !(t.base->granted & kSetValue))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    if (LONG f = CheckFault(RegCall::DeleteValue, t.root, path, valueName))
        return finish(f);
    std::shared_ptr<Node> node = t.base ? t.base->node : RootNode(t.root);
    auto it = node->values.find(Fold(valueName ? valueName : ""));
    if (it == node->values.end())
        return finish(static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    if (WriteDenied(t.root, path))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    node->values.erase(it);
    node->lastWrite = ++writeClock_;
    return finish(0);
}

LONG MemoryRegistry::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength,
                                   DWORD* reserved, char* keyClass, DWORD* classLength,
                                   FILETIME* lastWriteTime) {
    std::lock_guard lock(mutex_);
    Target t;
    LONG rc = Resolve(key, nullptr, 0, t);
    const std::string path = Join(t.parts);
    auto finish = [&](LONG code) {
        Log(RegCall::EnumKey, t.root ? t.root : key, path, nullptr, 0, code);
        return code;
    };
    if (rc)
        return finish(rc);
    if (t.base && !(t.base->granted & kEnumerate))
        return finish(static_cast<LONG>(ERROR_ACCESS_DENIED));
    if (reserved || !name || !nameLength)
        return finish(kInvalidParameter);
    if (LONG f = CheckFault(RegCall::EnumKey, t.root, path, nullptr))
        return finish(f);
    std::shared_ptr<Node> node = t.base ? t.base->node : RootNode(t.root);
    if (index >= node->children.size())
        return finish(static_cast<LONG>(ERROR_NO_MORE_ITEMS));
    auto it = node->children.begin();
    std::advance(it, index);
    const Node& child = *it->second;
    const DWORD len = static_cast<DWORD>(child.name.size());
    if (*nameLength <= len) {
        if (!enumLeavesLength_)
            *nameLength = len + 1;
        return finish(static_cast<LONG>(ERROR_MORE_DATA));
    }
    std::memcpy(name, child.name.c_str(), len + 1);
    *nameLength = len;
    if (classLength) {
        if (keyClass && *classLength)
            keyClass[0] = '\0';
        *classLength = 0;
    }
    if (lastWriteTime) {
        lastWriteTime->dwLowDateTime = static_cast<DWORD>(child.lastWrite);
        lastWriteTime->dwHighDateTime = static_cast<DWORD>(child.lastWrite >> 32);
    }
    return finish(0);
}

// --- helpers ---

std::string MemoryRegistry::StoredPath(HKEY root, std::string_view path, RegView view) const {
    std::vector<std::string> parts;
    if (SplitPath(path, parts))
        return std::string(path);
    if (view != RegView::Stored)
        ApplyView(root, parts, Redirects32(machine_, ViewAccess(view)));
    return Join(parts);
}

void MemoryRegistry::CreateKey(HKEY root, std::string_view path, RegView view) {
    std::lock_guard lock(mutex_);
    MakeNode(root, StoredPath(root, path, view));
}

void MemoryRegistry::SetValue(HKEY root, std::string_view path, std::string_view name, DWORD type,
                              std::string_view bytes, RegView view) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Node> node = MakeNode(root, StoredPath(root, path, view));
    if (!node)
        return;
    auto& slot = node->values[Fold(name)];
    if (slot.first.empty())
        slot.first = std::string(name);
    slot.second = RegValue{type, std::string(bytes)};
    node->lastWrite = ++writeClock_;
}

void MemoryRegistry::SetString(HKEY root, std::string_view path, std::string_view name,
                               std::string_view text, RegView view) {
    std::string bytes(text);
    bytes.push_back('\0');
    SetValue(root, path, name, REG_SZ, bytes, view);
}

void MemoryRegistry::SetDword(HKEY root, std::string_view path, std::string_view name, DWORD number,
                              RegView view) {
    char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    SetValue(root, path, name, REG_DWORD, std::string_view(bytes, 4), view);
}

bool MemoryRegistry::KeyExists(HKEY root, std::string_view path, RegView view) const {
    std::lock_guard lock(mutex_);
    return FindNode(root, StoredPath(root, path, view)) != nullptr;
}

std::optional<RegValue> MemoryRegistry::GetValue(HKEY root, std::string_view path,
                                                 std::string_view name, RegView view) const {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Node> node = FindNode(root, StoredPath(root, path, view));
    if (!node)
        return std::nullopt;
    auto it = node->values.find(Fold(name));
    if (it == node->values.end())
        return std::nullopt;
    return it->second.second;
}

std::optional<std::string> MemoryRegistry::GetString(HKEY root, std::string_view path,
                                                     std::string_view name, RegView view) const {
    auto v = GetValue(root, path, name, view);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
        return std::nullopt;
    if (!v->data.empty() && v->data.back() == '\0')
        v->data.pop_back();
    return v->data;
}

std::optional<DWORD> MemoryRegistry::GetDword(HKEY root, std::string_view path,
                                              std::string_view name, RegView view) const {
    auto v = GetValue(root, path, name, view);
    if (!v || v->type != REG_DWORD || v->data.size() != 4)
        return std::nullopt;
    DWORD n = 0;
    for (int i = 3; i >= 0; --i)
        n = (n << 8) | static_cast<unsigned char>(v->data[static_cast<std::size_t>(i)]);
    return n;
}

std::vector<std::string> MemoryRegistry::SubKeyNames(HKEY root, std::string_view path,
                                                     RegView view) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    if (auto node = FindNode(root, StoredPath(root, path, view)))
        for (const auto& [folded, child] : node->children)
            out.push_back(child->name);
    return out;
}

std::vector<std::string> MemoryRegistry::ValueNames(HKEY root, std::string_view path,
                                                    RegView view) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    if (auto node = FindNode(root, StoredPath(root, path, view)))
        for (const auto& [folded, value] : node->values)
            out.push_back(value.first);
    return out;
}

bool MemoryRegistry::RemoveTree(HKEY root, std::string_view path, RegView view) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> parts;
    if (SplitPath(StoredPath(root, path, view), parts) || parts.empty())
        return false;
    const std::string leaf = parts.back();
    parts.pop_back();
    std::shared_ptr<Node> parent = FindNode(root, Join(parts));
    if (!parent)
        return false;
    auto it = parent->children.find(Fold(leaf));
    if (it == parent->children.end())
        return false;
    MarkDeleted(*it->second);
    parent->children.erase(it);
    return true;
}

void MemoryRegistry::DenyWrites(HKEY root, std::string_view path, RegView view) {
    std::lock_guard lock(mutex_);
    denied_.emplace_back(root, Fold(StoredPath(root, path, view)));
}

void MemoryRegistry::InjectFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    Fault f = fault;
    if (!f.path.empty())
        f.path = StoredPath(f.root, f.path, f.view);
    f.view = RegView::Stored;
    faults_.push_back(std::move(f));
    faultHits_.push_back(0);
}

void MemoryRegistry::FailCall(RegCall call, HKEY root, std::string_view path, LONG code) {
    Fault f;
    f.call = call;
    f.root = root;
    f.path = std::string(path);
    f.code = code;
    InjectFault(f);
}

void MemoryRegistry::ClearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
    faultHits_.clear();
}

void MemoryRegistry::SetWideSizeOnMoreData(bool on) {
    std::lock_guard lock(mutex_);
    wideSize_ = on;
}

void MemoryRegistry::SetEnumKeyLeavesLength(bool on) {
    std::lock_guard lock(mutex_);
    enumLeavesLength_ = on;
}

std::vector<MemoryRegistry::CallRecord> MemoryRegistry::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void MemoryRegistry::ClearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::size_t MemoryRegistry::OpenKeyCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

} // namespace nv
