// The owner of an open file, for code that must also build without Windows headers (the
// read-only file under the text reader): a Win32 file handle on Windows, a POSIX descriptor in
// the native build. Each traits type's Close lives in its platform's ReadOnlyFile source.
#pragma once

#include "framework/UniqueHandle.h"

#include <cstdint>

#if defined(_WIN32)
// Win32 file handles: empty is INVALID_HANDLE_VALUE. The type is spelled as <windows.h> defines
// HANDLE (Handles.h checks that they agree), so holding one needs no Windows header.
struct FileHandleTraits {
    using Type = void*;
    static Type Empty() noexcept { return reinterpret_cast<Type>(static_cast<intptr_t>(-1)); }
    static void Close(Type handle) noexcept; // CloseHandle
};
using OwnedFileHandle = UniqueHandle<FileHandleTraits>;
#else
// POSIX file descriptors: empty is -1.
struct FileDescriptorTraits {
    using Type = int;
    static Type Empty() noexcept { return -1; }
    static void Close(Type descriptor) noexcept; // close
};
using OwnedFileDescriptor = UniqueHandle<FileDescriptorTraits>;
#endif
