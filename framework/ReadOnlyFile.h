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

    // Bytes read (fewer than count only at the end of the file), 0 at the end, -1 on an error.
    long long Read(void* buffer, size_t count);

    // The file's size now; false when it cannot be told.
    bool QuerySize(unsigned long long& size) const;

private:
#if defined(_WIN32)
    OwnedFileHandle file_;
#else
    OwnedFileDescriptor file_;
#endif
};
