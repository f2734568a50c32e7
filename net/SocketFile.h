// A connected socket seen as a file: reads either take what one receive gives or fill the whole
// request (stopping early only at the end of the stream); writes send every byte. Socket errors
// become file exceptions. The socket is borrowed: the file never closes it.
#pragma once

#include "framework/File.h"
#include "net/Socket.h"

class CSocketFile : public CFile {
    DECLARE_RUNTIME_CLASS(CSocketFile)
public:
    CSocketFile(CSocket& socket, bool singleReceive) noexcept
        : attachedSocket(&socket), singleReceive(singleReceive) {}

    // Refused (CNotSupportedException): a stream has no position, length, locks or name to open.
    ULONGLONG GetPosition() const override;
    bool Open(const char* path, UINT openFlags, CFileException* error = nullptr) override;
    std::unique_ptr<CFile> Duplicate() const override;
    void SetLength(ULONGLONG length) override;
    ULONGLONG GetLength() const override;
    void LockRange(ULONGLONG position, ULONGLONG count) override;
    void UnlockRange(ULONGLONG position, ULONGLONG count) override;
    void Abort() override;
    // Answers 0 and moves nothing.
    ULONGLONG Seek(LONGLONG offset, UINT from) override;
    void Flush() override;
    // Forgets the socket, which stays open and usable.
    void Close() override;

    // Single-receive mode: what one receive gives (0 at the end of the stream). Filling mode: the
    // whole count, or fewer bytes only when the peer closed first. A receive error raises a
    // CFileException (cause 1, the Winsock error); so does a read or write after Close.
    UINT ReadBuffer(void* buffer, UINT count) override;
    void WriteBuffer(const void* buffer, UINT count) override;

    CSocket* attachedSocket;
    bool singleReceive;
};
