// A file opened for reading only, never created, closed by its destructor. Only regular files
// open: a directory or a device name fails like a missing file.
#pragma once

#include "framework/FileHandle.h"
#include "framework/Text.h"

#include <cstddef>

class ReadOnlyFile {
public:
    ReadOnlyFile() noexcept = default;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // False when the file is missing, cannot be read, or is not a regular file. Other programs
    // may go on reading, writing, renaming and deleting the file while it is open.
    bool Open(const CText& path);
    void Close() noexcept { file_.reset(); }
    bool IsOpen() const noexcept { return file_.valid(); }

    // Bytes read (fewer than count only at the end of the file), 0 at the end, -1 on an error:
    // ReadError() then holds the system's code, and the bytes of that call are not delivered.
    long long Read(void* buffer, size_t count);
    // The system's error code of the read that failed (never 0 then); 0 while none has.
    unsigned long ReadError() const noexcept { return readError_; }

    // Test seam: the k-th raw read from now on, of any file, fails with the system error given;
    // k = 0 disarms. A network share that drops, removed media or another program's lock on a
    // range make reads fail on Windows, and none of them can be staged under Wine.
    static void FailNthRead(unsigned long k, unsigned long error) noexcept;

    // The file's size now; false when it cannot be told.
    bool QuerySize(unsigned long long& size) const;

private:
    // True when the seam fails this raw read; its error is then the one to report.
    static bool SeamFailsRead(unsigned long& error) noexcept;

    unsigned long readError_ = 0;
#if defined(_WIN32)
    OwnedFileHandle file_;
#else
    OwnedFileDescriptor file_;
#endif
};
