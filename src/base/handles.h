// Move-only owners for every kind of handle the system opens. Each kind names its invalid
// value and how it is released; an owner releases exactly once.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept : value_(Traits::Invalid()) {}
    explicit UniqueHandle(Type value) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    void reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    // For out-parameters: releases the current value and lends the slot.
    Type* receive() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_;
};

struct KernelHandleTraits {  // CreateFileW and friends: INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
struct NullableHandleTraits {  // threads, processes, events: NULL
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};
struct StdioFileTraits {
    using Type = FILE*;
    static Type Invalid() { return nullptr; }
    static void Close(Type f) { fclose(f); }
};
struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { LocalFree(h); }
};
struct CoTaskMemoryTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type p) { CoTaskMemFree(p); }
};
struct IconTraits {
    using Type = HICON;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DestroyIcon(h); }
};

using FileHandle = UniqueHandle<KernelHandleTraits>;
using ObjectHandle = UniqueHandle<NullableHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using RegKey = UniqueHandle<RegKeyTraits>;
using StdioFile = UniqueHandle<StdioFileTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;
using CoTaskMemory = UniqueHandle<CoTaskMemoryTraits>;
using IconHandle = UniqueHandle<IconTraits>;

// Owner of one COM interface pointer.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    T** receive() noexcept {
        reset();
        return &p_;
    }
    void** receiveVoid() noexcept { return reinterpret_cast<void**>(receive()); }

private:
    T* p_ = nullptr;
};

// COM initialised for the calling thread for the lifetime of the scope.
class ComScope {
public:
    ComScope() noexcept : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (initialised_) CoUninitialize();
    }
    bool initialised() const noexcept { return initialised_; }

private:
    bool initialised_;
};
