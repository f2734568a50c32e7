// The read-only file over Win32 file handles.
#include "framework/ReadOnlyFile.h"

#include "framework/Handles.h"
#include "framework/PathText.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <utility>

void FileHandleTraits::Close(HANDLE handle) noexcept {
    // An owner has no one to tell of a failed close; CFile::Close, where one could mean lost
    // writes, closes by itself and reports it.
    CloseHandle(handle);
}

namespace {
bool refuseLongPlainNames = false;

// Another program holds the file without sharing it, or has locked it whole; it usually lets go
// soon (a writer finishing, a scanner done with a new file).
bool IsHeld(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

// Errors that mean the name names no file to read, reported as "not found" as ever; any other
// error has a reason the user should read.
bool NamesNoFile(DWORD error, const std::wstring& name) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE:
        return true;
    case ERROR_ACCESS_DENIED: {
        // Windows refuses a directory opened without backup semantics as access denied.
        DWORD attributes = GetFileAttributesW(name.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    default:
        // A device that cannot be opened (CON without a console) is no file either.
        return platform::NamesDevice(name);
    }
}

HANDLE OpenForReading(const std::wstring& name) {
    if (refuseLongPlainNames && platform::BeyondPlainPathLimit(name)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Deny nothing: the program that started us may rewrite, rename or delete the file while we
    // read it (FILE_SHARE_DELETE covers the last two), just as with any other reader.
    return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

constexpr DWORD kHeldFileRetryInterval = 50;
} // namespace

void ReadOnlyFile::RefuseLongPlainNames(bool refuse) noexcept { refuseLongPlainNames = refuse; }

bool ReadOnlyFile::Open(const CText& path) {
    Close();
    readError_ = 0;
    openError_ = 0;
    // A name with a NUL inside would silently open a different, shorter name.
    if (path.IsEmpty() || std::strlen(path.Data()) != path.Length()) return false;
    std::wstring typed;
    if (!platform::WideFromPathText(path, typed)) return false;
    // A file deep in a project or synchronised folder: without the long form Windows refuses it.
    const std::wstring name = platform::OpenableName(typed);
    const DWORD started = GetTickCount();
    for (;;) {
        OwnedFileHandle file(OpenForReading(name));
        if (file.valid()) {
            // CON, NUL, COM1 and pipes open as files but would block or deliver nothing meaningful.
            if (GetFileType(file.get()) != FILE_TYPE_DISK) return false;
            file_ = std::move(file);
            return true;
        }
        const DWORD error = GetLastError();
        // Unsigned difference: right across the tick count's wrap as well.
        if (IsHeld(error) && GetTickCount() - started < kHeldFileWait) {
            Sleep(kHeldFileRetryInterval);
            continue;
        }
        openError_ = NamesNoFile(error, name) || error == 0 ? 0 : error;
        return false;
    }
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

bool ReadOnlyFile::Rewind() {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (file_.valid() && SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return true;
    readError_ = file_.valid() ? GetLastError() : ERROR_INVALID_HANDLE;
    if (readError_ == 0) readError_ = ERROR_READ_FAULT;
    return false;
}

bool ReadOnlyFile::QuerySize(unsigned long long& size) const {
    if (!file_.valid()) return false;
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file_.get(), &value) || value.QuadPart < 0) return false;
    size = static_cast<unsigned long long>(value.QuadPart);
    return true;
}
