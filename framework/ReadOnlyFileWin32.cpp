// The read-only file over Win32 file handles.
#include "framework/ReadOnlyFile.h"

#include "framework/Handles.h"
#include "framework/PathText.h"

#include <windows.h>

#include <cstring>
#include <utility>

void FileHandleTraits::Close(HANDLE handle) noexcept {
    // An owner has no one to tell of a failed close; CFile::Close, where one could mean lost
    // writes, closes by itself and reports it.
    CloseHandle(handle);
}

bool ReadOnlyFile::Open(const CText& path) {
    Close();
    readError_ = 0;
    // A name with a NUL inside would silently open a different, shorter name.
    if (path.IsEmpty() || std::strlen(path.Data()) != path.Length()) return false;
    std::wstring name;
    if (!platform::WideFromPathText(path, name)) return false;
    // Deny nothing: the program that started us may rewrite, rename or delete the file while we
    // read it (FILE_SHARE_DELETE covers the last two), just as with any other reader.
    OwnedFileHandle file(CreateFileW(name.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                     nullptr));
    if (!file.valid()) return false; // directories fail here too (no backup semantics)
    // CON, NUL, COM1 and pipes open as files but would block or deliver nothing meaningful.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    file_ = std::move(file);
    return true;
}

long long ReadOnlyFile::Read(void* buffer, size_t count) {
    if (!file_.valid()) return -1;
    char* out = static_cast<char*>(buffer);
    long long total = 0;
    // ReadFile counts in DWORDs; keep each call well inside that.
    while (count > 0) {
        DWORD part = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
        DWORD got = 0;
        unsigned long injected = 0;
        if (SeamFailsRead(injected)) {
            readError_ = injected;
            return -1;
        }
        if (!ReadFile(file_.get(), out, part, &got, nullptr)) {
            // What came before the error is dropped too: a file that lost bytes must not pass
            // for a shorter one. A read never fails without a reason; say something if it did.
            DWORD error = GetLastError();
            readError_ = error != 0 ? error : ERROR_READ_FAULT;
            return -1;
        }
        if (got == 0) break;
        total += got;
        out += got;
        count -= got;
        if (got < part) break;
    }
    return total;
}

bool ReadOnlyFile::QuerySize(unsigned long long& size) const {
    if (!file_.valid()) return false;
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file_.get(), &value) || value.QuadPart < 0) return false;
    size = static_cast<unsigned long long>(value.QuadPart);
    return true;
}
