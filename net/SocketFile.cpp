// The socket seen as a file: reads and writes go to the borrowed socket; everything positional
// is refused.
#include "net/SocketFile.h"

#include "framework/Exceptions.h"
#include "net/WinsockCalls.h"

#include <climits>

IMPLEMENT_RUNTIME_CLASS(CSocketFile, CFile)

namespace {
[[noreturn]] void ThrowSocketError(int error) {
    ThrowFileException(CFileException::genericException, error);
}
// One receive or send takes an int count; larger requests go in pieces.
int PieceOf(UINT count) { return count > static_cast<UINT>(INT_MAX) ? INT_MAX : static_cast<int>(count); }
} // namespace

ULONGLONG CSocketFile::GetPosition() const { ThrowNotSupportedException(); }
bool CSocketFile::Open(const char*, UINT, CFileException*) { ThrowNotSupportedException(); }
std::unique_ptr<CFile> CSocketFile::Duplicate() const { ThrowNotSupportedException(); }
void CSocketFile::SetLength(ULONGLONG) { ThrowNotSupportedException(); }
ULONGLONG CSocketFile::GetLength() const { ThrowNotSupportedException(); }
void CSocketFile::LockRange(ULONGLONG, ULONGLONG) { ThrowNotSupportedException(); }
void CSocketFile::UnlockRange(ULONGLONG, ULONGLONG) { ThrowNotSupportedException(); }
void CSocketFile::Abort() { ThrowNotSupportedException(); }

ULONGLONG CSocketFile::Seek(LONGLONG, UINT) { return 0; }
void CSocketFile::Flush() {}
void CSocketFile::Close() { attachedSocket = nullptr; }

UINT CSocketFile::ReadBuffer(void* buffer, UINT count) {
    if (attachedSocket == nullptr) ThrowSocketError(WSAENOTSOCK); // read after Close
    if (singleReceive) {
        int n = attachedSocket->ReceiveBytes(buffer, PieceOf(count), 0);
        if (n == SOCKET_ERROR) ThrowSocketError(winsock::LastError());
        return static_cast<UINT>(n);
    }
    char* position = static_cast<char*>(buffer);
    UINT remaining = count;
    while (remaining > 0) {
        int n = attachedSocket->ReceiveBytes(position, PieceOf(remaining), 0);
        if (n == SOCKET_ERROR) ThrowSocketError(winsock::LastError());
        if (n == 0) break; // the peer closed the stream first: a short count, not an error
        position += n;
        remaining -= static_cast<UINT>(n);
    }
    return count - remaining;
}

void CSocketFile::WriteBuffer(const void* buffer, UINT count) {
    if (attachedSocket == nullptr) ThrowSocketError(WSAENOTSOCK); // write after Close
    const char* next = static_cast<const char*>(buffer);
    do {
        int piece = PieceOf(count);
        if (attachedSocket->SendBytes(next, piece, 0) == SOCKET_ERROR) ThrowSocketError(winsock::LastError());
        next += piece;
        count -= static_cast<UINT>(piece);
    } while (count > 0);
}
