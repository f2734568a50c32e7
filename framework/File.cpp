// The framework's file over a Win32 handle. Failures raise a CFileException with the system error.
#include "framework/File.h"

#include "framework/Exceptions.h"

#include <new>
#include <utility>

IMPLEMENT_RUNTIME_CLASS(CFile, CObject)

namespace {
// The part of the path after its last separator.
const char* NamePart(const CText& path) {
    const char* name = path.Data();
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    }
    return name;
}
} // namespace

void CFile::ThrowLastError() const {
    ThrowFileException(CFileException::genericException, static_cast<long>(GetLastError()), filePath);
}

ULONGLONG CFile::GetPosition() const {
    LONG high = 0;
    DWORD low = SetFilePointer(file_.get(), 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) ThrowLastError();
    return (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
}

CText CFile::GetFileName() const { return CText(NamePart(filePath)); }

CText CFile::GetFileTitle() const {
    CText name = GetFileName();
    for (size_t i = name.Length(); i > 0; --i) {
        if (name[i - 1] == '.') return name.Left(i - 1);
    }
    return name;
}

CText CFile::GetFilePath() const { return filePath; }
void CFile::SetFilePath(const CText& path) { filePath = path; }

bool CFile::Open(const char* path, UINT openFlags, CFileException* error) {
    DWORD access = GENERIC_READ;
    if ((openFlags & 3) == modeWrite) access = GENERIC_WRITE;
    if ((openFlags & 3) == modeReadWrite) access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if (openFlags & modeCreate) disposition = (openFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    OwnedFileHandle handle(CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        if (error != nullptr) {
            error->cause = CFileException::genericException;
            error->osError = static_cast<long>(GetLastError());
            error->fileName = CText(path);
        }
        return false;
    }
    file_ = std::move(handle);
    filePath = CText(path);
    return true;
}

std::unique_ptr<CFile> CFile::Duplicate() const {
    HANDLE process = GetCurrentProcess();
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(process, file_.get(), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) ThrowLastError();
    OwnedFileHandle owned(copy);
    std::unique_ptr<CFile> file(new (std::nothrow) CFile(std::move(owned)));
    if (file == nullptr) ThrowMemoryException(); // the copy is still in `owned`, which closes it
    file->filePath = filePath;
    return file;
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from) {
    DWORD method = from == end ? FILE_END : from == current ? FILE_CURRENT : FILE_BEGIN;
    LONG high = static_cast<LONG>(offset >> 32);
    DWORD low = SetFilePointer(file_.get(), static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) ThrowLastError();
    return (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
}

void CFile::SetLength(ULONGLONG length) {
    Seek(static_cast<LONGLONG>(length), begin);
    if (!SetEndOfFile(file_.get())) ThrowLastError();
}

ULONGLONG CFile::GetLength() const {
    DWORD high = 0;
    DWORD low = GetFileSize(file_.get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) ThrowLastError();
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

UINT CFile::ReadBuffer(void* buffer, UINT count) {
    DWORD read = 0;
    if (count > 0 && !ReadFile(file_.get(), buffer, count, &read, nullptr)) ThrowLastError();
    return read;
}

void CFile::WriteBuffer(const void* buffer, UINT count) {
    DWORD written = 0;
    if (count == 0) return;
    if (!WriteFile(file_.get(), buffer, count, &written, nullptr)) ThrowLastError();
    // A short write means the disk is full; reporting success would lose the rest silently.
    if (written != count) ThrowFileException(CFileException::genericException, ERROR_DISK_FULL, filePath);
}

void CFile::LockRange(ULONGLONG position, ULONGLONG count) {
    if (!LockFile(file_.get(), static_cast<DWORD>(position), static_cast<DWORD>(position >> 32),
                  static_cast<DWORD>(count), static_cast<DWORD>(count >> 32)))
        ThrowLastError();
}

void CFile::UnlockRange(ULONGLONG position, ULONGLONG count) {
    if (!UnlockFile(file_.get(), static_cast<DWORD>(position), static_cast<DWORD>(position >> 32),
                    static_cast<DWORD>(count), static_cast<DWORD>(count >> 32)))
        ThrowLastError();
}

void CFile::Abort() {
    file_.reset();
    filePath.Clear();
}

void CFile::Flush() {
    if (file_.valid() && !FlushFileBuffers(file_.get())) ThrowLastError();
}

void CFile::Close() {
    // Closed here rather than by the owner, which cannot report it: a failed close can be the
    // first news of written data that never reached the disk.
    HANDLE handle = file_.release();
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) ThrowLastError();
    filePath.Clear();
}

UINT CFile::GetBufferPointer(UINT, UINT, void**, void**) { return 0; }
