#include "common/MemoryResources.h"

namespace nv {

std::string MemoryResources::Key(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return key;
}

void MemoryResources::Add(const std::string& name, std::string bytes) {
    blobs_[Key(name)].bytes = std::move(bytes);
}

void MemoryResources::Remove(const std::string& name) {
    blobs_.erase(Key(name));
}

void MemoryResources::Fail(Op op, bool fail) {
    fail_[static_cast<int>(op)] = fail;
}

const void* MemoryResources::Address(const std::string& name) const {
    auto it = blobs_.find(Key(name));
    return it == blobs_.end() ? nullptr : it->second.bytes.data();
}

const MemoryResources::Blob* MemoryResources::FromHandle(HRSRC resource) const {
    for (const auto& [key, blob] : blobs_)
        if (reinterpret_cast<HRSRC>(const_cast<Blob*>(&blob)) == resource)
            return &blob;
    return nullptr;
}

HRSRC MemoryResources::FindResourceA(HMODULE, const char* name, const char* type) {
    ++calls_[static_cast<int>(Op::FindResource)];
    if (fail_[static_cast<int>(Op::FindResource)] || type != RcDataType() || name == nullptr)
        return nullptr;
    // Integer names (MAKEINTRESOURCE) are never added here.
    if (reinterpret_cast<std::uintptr_t>(name) < 0x10000)
        return nullptr;
    auto it = blobs_.find(Key(name));
    return it == blobs_.end() ? nullptr : reinterpret_cast<HRSRC>(&it->second);
}

DWORD MemoryResources::SizeofResource(HMODULE, HRSRC resource) {
    const Blob* blob = FromHandle(resource);
    return blob ? static_cast<DWORD>(blob->bytes.size()) : 0;
}

HGLOBAL MemoryResources::LoadResource(HMODULE, HRSRC resource) {
    ++calls_[static_cast<int>(Op::LoadResource)];
    const Blob* blob = FromHandle(resource);
    if (fail_[static_cast<int>(Op::LoadResource)] || !blob)
        return nullptr;
    return const_cast<char*>(blob->bytes.data());
}

const void* MemoryResources::LockResource(HGLOBAL data) {
    ++calls_[static_cast<int>(Op::LockResource)];
    if (fail_[static_cast<int>(Op::LockResource)])
        return nullptr;
    return data;
}

} // namespace nv
