// The read-only file over POSIX descriptors, for the native build of the platform-free code.
#include "framework/ReadOnlyFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

void FileDescriptorTraits::Close(int descriptor) noexcept {
    // Not retried on EINTR: on Linux the descriptor is gone whatever close reports.
    ::close(descriptor);
}

bool ReadOnlyFile::Open(const CText& path) {
    Close();
    readError_ = 0;
    openError_ = 0;
    // A name with a NUL inside would silently open a different, shorter name.
    if (path.IsEmpty() || std::strlen(path.Data()) != path.Length()) return false;
    int fd;
    do {
        fd = ::open(path.Data(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // As on Windows: a name that names no file is not found; any other failure has a reason.
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR && error != ENAMETOOLONG && error != ELOOP && error != EISDIR)
            openError_ = static_cast<unsigned long>(error);
        return false;
    }
    OwnedFileDescriptor file(fd);
    struct stat info;
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    file_ = std::move(file);
    return true;
}

long long ReadOnlyFile::Read(void* buffer, size_t count) {
    if (!file_.valid()) return -1;
    char* out = static_cast<char*>(buffer);
    long long total = 0;
    // A single read may stop short of count (signals, the kernel's own per-call limit); go on
    // until the end so that only the end of the file gives a short count.
    while (count > 0) {
        size_t part = count > 0x40000000u ? 0x40000000u : count;
        unsigned long injected = 0;
        if (SeamFailsRead(injected)) {
            readError_ = injected;
            return -1;
        }
        ssize_t got = ::read(file_.get(), out, part);
        if (got < 0) {
            if (errno == EINTR) continue;
            // As on Windows: the bytes before the error are dropped with it.
            readError_ = errno != 0 ? static_cast<unsigned long>(errno) : EIO;
            return -1;
        }
        if (got == 0) break;
        total += got;
        out += got;
        count -= static_cast<size_t>(got);
    }
    return total;
}

bool ReadOnlyFile::Rewind() {
    if (file_.valid() && ::lseek(file_.get(), 0, SEEK_SET) == 0) return true;
    readError_ = file_.valid() && errno != 0 ? static_cast<unsigned long>(errno) : EBADF;
    return false;
}

bool ReadOnlyFile::QuerySize(unsigned long long& size) const {
    if (!file_.valid()) return false;
    struct stat info;
    if (::fstat(file_.get(), &info) != 0 || info.st_size < 0) return false;
    size = static_cast<unsigned long long>(info.st_size);
    return true;
}
