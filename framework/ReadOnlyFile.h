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

    // False when the file is missing, cannot be read, or is not a regular file; OpenError() then
    // tells which. Other programs may go on reading, writing, renaming and deleting the file while
    // it is open. A file that another program holds without sharing (a writer that has not closed
    // it yet, a virus scanner's look at a new file) is tried again for up to kHeldFileWait ms.
    bool Open(const CText& path);
    static constexpr unsigned long kHeldFileWait = 3000;
    // Why the last Open failed: 0 when the name names no regular file (a missing file or folder, a
    // bad name, a directory, a device), otherwise the system's code (a hold that outlasted the
    // wait, access denied, a network error). 0 after an Open that succeeded.
    unsigned long OpenError() const noexcept { return openError_; }
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

    // Back to the first byte; false (and ReadError() set) when the system refuses.
    bool Rewind();

#if defined(_WIN32)
    // Test seam: every name of MAX_PATH characters or more without the \\?\ form fails to open
    // as Windows refuses it. Wine opens such names, so without this nothing shows the limit.
    static void RefuseLongPlainNames(bool refuse) noexcept;
#endif

private:
    // True when the seam fails this raw read; its error is then the one to report.
    static bool SeamFailsRead(unsigned long& error) noexcept;

    unsigned long readError_ = 0;
    unsigned long openError_ = 0;
#if defined(_WIN32)
    OwnedFileHandle file_;
#else
    OwnedFileDescriptor file_;
#endif
};
