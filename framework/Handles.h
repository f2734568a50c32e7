// Move-only owners for the kinds of handle the program holds. Each kind has its own empty value;
// the owner releases its handle on every path. Access is an explicit get(), never a conversion.
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept : handle_(Traits::Empty()) {}
    explicit UniqueHandle(Type handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Type get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != Traits::Empty(); }

    Type release() noexcept {
        Type handle = handle_;
        handle_ = Traits::Empty();
        return handle;
    }

    void reset(Type handle = Traits::Empty()) noexcept {
        if (handle_ != Traits::Empty()) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Type handle_;
};

// Thread, event and other kernel object handles: empty is NULL.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};

// File handles: empty is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};

// Windows: empty is NULL.
struct WindowHandleTraits {
    using Type = HWND;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type handle) noexcept {
        if (IsWindow(handle)) DestroyWindow(handle);
    }
};

// GDI objects: empty is NULL.
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { DeleteObject(handle); }
};

using OwnedKernelHandle = UniqueHandle<KernelHandleTraits>;
using OwnedFileHandle = UniqueHandle<FileHandleTraits>;
using OwnedWindow = UniqueHandle<WindowHandleTraits>;
using OwnedGdiObject = UniqueHandle<GdiObjectTraits>;
