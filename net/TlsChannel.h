// The TLS layer over a connected blocking socket: the handshake, the server's certificate checked
// as Windows checks it (or against a pin), records for what is sent and received, and the
// close_notify at the end. The socket is borrowed: it stays open, and its owner closes it.
#pragma once

#include "net/SecurityHandles.h"
#include "net/Socket.h"
#include "transfer/TlsSettings.h"

#include <string>
#include <vector>

class TlsChannel {
public:
    explicit TlsChannel(CSocket& socket) noexcept : socket_(socket) {}
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Handshake and validation. False on any failure, with a Winsock error set; nothing of the
    // caller's has been sent then.
    bool Open(const TlsSettings& settings);
    // As CSocket's: every byte or -1.
    int SendBytes(const void* data, int length, int flags);
    // 1 to size bytes, 0 once the server has ended the session (close_notify), -1 on an error,
    // including a stream that ends without close_notify: that may be a cut, not an end.
    int ReceiveBytes(void* buffer, int size, int flags);
    // Sends close_notify. False when it could not be made or sent.
    bool Close();

    // The most one handshake may hold unread; a server that sends more is not a TLS server.
    static constexpr size_t kLargestHandshakeInput = 1 << 20;

private:
    bool AcquireCredentials();
    // Runs InitializeSecurityContext until the context is complete, reading and sending tokens.
    bool Handshake();
    bool ServerIsTrusted(const TlsSettings& settings);
    bool NegotiatedTls12OrLater();
    // Appends one receive's bytes to the unread input; false (error set) at an end or error.
    bool ReadMore();
    bool SendToken(const SecBuffer& token);
    bool Fail(int error = WSAECONNABORTED);

    CSocket& socket_;
    security::UniqueCredentials credentials_;
    security::UniqueContext context_;
    const char* target_ = nullptr; // the name for the server name indication, or null
    CText targetName_;
    SecPkgContext_StreamSizes sizes_ = {};
    std::vector<char> input_;  // received, not yet consumed
    std::string plain_;        // decrypted, not yet handed out
    std::vector<char> records_; // encrypted records of one send
    bool established_ = false; // the first handshake is complete
    bool ended_ = false;
};
