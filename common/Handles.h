// One move-only owner per handle kind, all from one template: the handle is
// released exactly once, and GetLastError() survives the release so that a
// failure code read after clean-up is still the failing call's.
#pragma once

#include <utility>

namespace nv {

// Close is a type with `static void close(T)` and `static T invalid()`.
template <typename T, typename Close> class Unique {
public:
    Unique() = default;
    explicit Unique(T value) : value_(value) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~Unique() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Close::invalid(); }
    T release() { return std::exchange(value_, Close::invalid()); }
    void reset(T value = Close::invalid()) {
        T old = std::exchange(value_, value);
        if (old != Close::invalid())
            Close::close(old);
    }
    // For out-parameters: releases what is held and hands out the slot.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = Close::invalid();
};

} // namespace nv

#ifdef _WIN32
#include <windows.h>
namespace nv {
// Keeps the thread's last error across a clean-up call.
class PreserveLastError {
public:
    PreserveLastError() : error_(::GetLastError()) {}
    ~PreserveLastError() { ::SetLastError(error_); }
    PreserveLastError(const PreserveLastError&) = delete;
    PreserveLastError& operator=(const PreserveLastError&) = delete;

private:
    DWORD error_;
};

struct CloseHandleOp {
    static void close(HANDLE h) { PreserveLastError keep; ::CloseHandle(h); }
    static HANDLE invalid() { return nullptr; }
};
struct CloseFileOp { // CreateFile, CreateToolhelp32Snapshot: INVALID_HANDLE_VALUE on failure
    static void close(HANDLE h) { PreserveLastError keep; ::CloseHandle(h); }
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
};
struct FindCloseOp {
    static void close(HANDLE h) { PreserveLastError keep; ::FindClose(h); }
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
};
struct RegCloseKeyOp {
    static void close(HKEY k) { PreserveLastError keep; ::RegCloseKey(k); }
    static HKEY invalid() { return nullptr; }
};
struct FreeLibraryOp {
    static void close(HMODULE m) { PreserveLastError keep; ::FreeLibrary(m); }
    static HMODULE invalid() { return nullptr; }
};
struct DeleteObjectOp {
    static void close(HGDIOBJ o) { ::DeleteObject(o); }
    static HGDIOBJ invalid() { return nullptr; }
};
struct DestroyIconOp {
    static void close(HICON i) { ::DestroyIcon(i); }
    static HICON invalid() { return nullptr; }
};

using UniqueHandle = Unique<HANDLE, CloseHandleOp>;
using UniqueFile = Unique<HANDLE, CloseFileOp>;
using UniqueFind = Unique<HANDLE, FindCloseOp>;
using UniqueKey = Unique<HKEY, RegCloseKeyOp>;
using UniqueLibrary = Unique<HMODULE, FreeLibraryOp>;
using UniqueGdiObject = Unique<HGDIOBJ, DeleteObjectOp>;
using UniqueIcon = Unique<HICON, DestroyIconOp>;
} // namespace nv
#endif
