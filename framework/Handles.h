// Move-only owners for the kinds of handle the program holds. Each kind has its own empty value;
// the owner releases its handle on every path. Access is an explicit get(), never a conversion.
#pragma once

#include "framework/FileHandle.h"
#include "framework/UniqueHandle.h"

#include <windows.h>

#include <type_traits>

// Thread, event and other kernel object handles: empty is NULL.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};

// File handles (OwnedFileHandle, empty INVALID_HANDLE_VALUE) come from FileHandle.h, which
// spells their type without this header.
static_assert(std::is_same<FileHandleTraits::Type, HANDLE>::value, "a file handle is a HANDLE");

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
using OwnedWindow = UniqueHandle<WindowHandleTraits>;
using OwnedGdiObject = UniqueHandle<GdiObjectTraits>;
