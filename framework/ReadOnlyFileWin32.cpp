// The read-only file over Win32 file handles.
#include "framework/ReadOnlyFile.h"

#include <windows.h>

#include <cstring>

static HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

bool ReadOnlyFile::Open(const CText& path) {
    Close();
    // A name with a NUL inside would silently open a different, shorter name.
    if (path.IsEmpty() || std::strlen(path.Data()) != path.Length()) return false;
    HANDLE file = CreateFileA(path.Data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false; // directories fail here too (no backup semantics)
    // CON, NUL, COM1 and pipes open as files but would block or deliver nothing meaningful.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

void ReadOnlyFile::Close() noexcept {
    if (handle_ == kClosed) return;
    CloseHandle(AsHandle(handle_));
    handle_ = kClosed;
}

long long ReadOnlyFile::Read(void* buffer, size_t count) {
    if (handle_ == kClosed) return -1;
    char* out = static_cast<char*>(buffer);
    long long total = 0;
    // ReadFile counts in DWORDs; keep each call well inside that.
    while (count > 0) {
        DWORD part = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
        DWORD got = 0;
        if (!ReadFile(AsHandle(handle_), out, part, &got, nullptr)) return total > 0 ? total : -1;
        if (got == 0) break;
        total += got;
        out += got;
        count -= got;
        if (got < part) break;
    }
    return total;
}

bool ReadOnlyFile::QuerySize(unsigned long long& size) const {
    if (handle_ == kClosed) return false;
    LARGE_INTEGER value;
    if (!GetFileSizeEx(AsHandle(handle_), &value) || value.QuadPart < 0) return false;
    size = static_cast<unsigned long long>(value.QuadPart);
    return true;
}
