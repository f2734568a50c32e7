// A file opened for reading only, never created, closed by its destructor. Only regular files
// open: a directory or a device name fails like a missing file.
#pragma once

#include "framework/Text.h"

#include <cstddef>
#include <cstdint>

class ReadOnlyFile {
public:
    ReadOnlyFile() noexcept = default;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile() { Close(); }

    // False when the file is missing, cannot be read, or is not a regular file. Other programs
    // may go on reading and writing the file while it is open.
    bool Open(const CText& path);
    void Close() noexcept;
    bool IsOpen() const noexcept { return handle_ != kClosed; }

    // Bytes read (fewer than count only at the end of the file), 0 at the end, -1 on an error.
    long long Read(void* buffer, size_t count);

    // The file's size now; false when it cannot be told.
    bool QuerySize(unsigned long long& size) const;

private:
    // A file descriptor natively, a HANDLE on Windows; -1 is closed in both (INVALID_HANDLE_VALUE).
    static constexpr intptr_t kClosed = -1;
    intptr_t handle_ = kClosed;
};
