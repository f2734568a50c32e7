// The framework's file: a Win32 file handle behind virtual operations, so that code written
// against files can also be handed something file-shaped (a socket stream).
#pragma once

#include "framework/Handles.h"
#include "framework/Object.h"
#include "framework/Text.h"

#include <windows.h>

#include <memory>

class CFileException;

class CFile : public CObject {
    DECLARE_RUNTIME_CLASS(CFile)
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        modeCreate = 0x1000, // create, or truncate an existing file
        modeNoTruncate = 0x2000, // with modeCreate: open an existing file as it is
    };
    enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

    CFile() noexcept = default;
    // Takes over an open handle: the file closes it.
    explicit CFile(OwnedFileHandle handle) noexcept : file_(std::move(handle)) {}
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    // Closes the handle if one is open; errors are ignored there (Close reports them).
    ~CFile() override = default;

    virtual ULONGLONG GetPosition() const;
    virtual CText GetFileName() const;  // the last part of the path
    virtual CText GetFileTitle() const; // the name without its extension
    virtual CText GetFilePath() const;
    virtual void SetFilePath(const CText& path);
    // False when the file cannot be opened; the cause goes to *error when given.
    virtual bool Open(const char* path, UINT openFlags, CFileException* error = nullptr);
    // A second file object on the same open file, with its own handle, owned by the caller.
    virtual std::unique_ptr<CFile> Duplicate() const;
    virtual ULONGLONG Seek(LONGLONG offset, UINT from);
    virtual void SetLength(ULONGLONG length);
    virtual ULONGLONG GetLength() const;
    virtual UINT ReadBuffer(void* buffer, UINT count);
    virtual void WriteBuffer(const void* buffer, UINT count);
    virtual void LockRange(ULONGLONG position, ULONGLONG count);
    virtual void UnlockRange(ULONGLONG position, ULONGLONG count);
    // Closes without raising, whatever state the file is in.
    virtual void Abort();
    virtual void Flush();
    virtual void Close();
    // Direct access to a buffer behind the file; a plain file has none and answers 0.
    virtual UINT GetBufferPointer(UINT command, UINT count, void** bufferStart, void** bufferEnd);

    // The open handle, still the file's own; INVALID_HANDLE_VALUE when none is open.
    HANDLE GetFileHandle() const noexcept { return file_.get(); }

    CText filePath;

private:
    OwnedFileHandle file_;

    [[noreturn]] void ThrowLastError() const;
};
