// The TLS layer: Schannel with validation of our own. Wine's Schannel accepts any certificate
// even when asked to validate, and Windows' automatic check gives us no say over revocation, so
// the context is made with manual validation and the chain is checked here before anything of the
// caller's is encrypted.
#include "net/TlsChannel.h"

#include <cstring>

namespace {
constexpr ULONG kRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
// Records of one send are batched up to about this size: a socket send per 16 KiB record moves
// a large frame several times slower.
constexpr size_t kBatchBytes = 1 << 20;
// SECURITY_FLAG_IGNORE_REVOCATION of the SSL policy's checks (declared by WinINet's header).
constexpr DWORD kIgnoreRevocation = 0x00000080;

std::wstring Wide(const CText& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.Data(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text.Data(), -1, &wide[0], length) != length) return std::wstring();
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}
} // namespace

bool TlsChannel::Fail(int error) {
    winsock::SetLastError(error);
    return false;
}

bool TlsChannel::Open(const TlsSettings& settings) {
    targetName_ = settings.serverName;
    target_ = targetName_.IsEmpty() ? nullptr : targetName_.Data();
    if (!AcquireCredentials()) return Fail();
    if (!Handshake()) return false;
    if (!NegotiatedTls12OrLater() || !ServerIsTrusted(settings)) return Fail();
    if (security::QueryContext(context_.get(), SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) return Fail();
    if (sizes_.cbMaximumMessage == 0 || sizes_.cBuffers < 4) return Fail();
    return true;
}

bool TlsChannel::AcquireCredentials() {
    TimeStamp expiry;
    // Windows 10 1809 and later: the newer structure, the only way to TLS 1.3. Everything below
    // TLS 1.2 is switched off, whatever the system's defaults allow.
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS current = {};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    if (security::AcquireCredentials(&current, credentials_.receive(), &expiry) == SEC_E_OK) return true;
    credentials_.reset();
    // Older systems refuse that structure; they get the old one with TLS 1.2 alone (asking the old
    // one for TLS 1.3 fails on the systems that know it).
    SCHANNEL_CRED old = {};
    old.dwVersion = SCHANNEL_CRED_VERSION;
    old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    old.dwFlags = kCredentialFlags;
    if (security::AcquireCredentials(&old, credentials_.receive(), &expiry) == SEC_E_OK) return true;
    credentials_.reset();
    return false;
}

bool TlsChannel::SendToken(const SecBuffer& token) {
    if (token.cbBuffer == 0 || token.pvBuffer == nullptr) return true;
    const int length = static_cast<int>(token.cbBuffer);
    return socket_.SendBytes(token.pvBuffer, length, 0) == length;
}

bool TlsChannel::ReadMore() {
    if (input_.size() >= kLargestHandshakeInput + sizes_.cbMaximumMessage + sizes_.cbHeader + sizes_.cbTrailer)
        return Fail(WSAEMSGSIZE);
    char buffer[16384];
    const int n = socket_.ReceiveBytes(buffer, sizeof buffer, 0);
    if (n < 0) return false;
    if (n == 0) return Fail(WSAECONNRESET); // the server left in the middle of a record
    input_.insert(input_.end(), buffer, buffer + n);
    return true;
}

bool TlsChannel::Handshake() {
    bool first = !context_.valid();
    bool needInput = first ? false : input_.empty();
    // A server that asks for a client certificate makes Schannel ask us for one; we have none, and
    // the call after that goes on without. Should it keep asking, the handshake fails, not loops.
    int credentialRequests = 0;
    for (;;) {
        if (needInput && !ReadMore()) return false;
        // A server that answers the hello with anything but a handshake or alert record is no TLS
        // server (a plain one greeting in clear, say). Schannel would wait for the rest of a
        // record that never comes, and such a server waits for us: fail now instead.
        if (!established_ && !input_.empty() &&
            ((input_[0] != 0x16 && input_[0] != 0x15) || (input_.size() > 1 && input_[1] != 0x03)))
            return Fail();
        SecBuffer in[2] = {{static_cast<ULONG>(input_.size()), SECBUFFER_TOKEN, input_.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
        ULONG attributes = 0;
        SECURITY_STATUS status;
        if (first) {
            status = security::InitializeContext(credentials_.get(), nullptr, target_, kRequirements, nullptr,
                                                 context_.receive(), &outDesc, &attributes);
        } else {
            status = security::InitializeContext(credentials_.get(), context_.get(), target_, kRequirements, &inDesc,
                                                 nullptr, &outDesc, &attributes);
        }
        security::UniqueContextBuffer token(out[0].pvBuffer);
        if (first) {
            // A first call that fails makes no context.
            if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
                SecInvalidateHandle(context_.get());
                return Fail();
            }
            first = false;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needInput = true;
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS)
            return Fail();
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && ++credentialRequests > 2) return Fail();
        if (!SendToken(out[0])) return false;
        // What the call did not consume belongs to the next message (or, at the end, to the
        // first record after the handshake: the server's greeting may come in the same read).
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= input_.size())
            input_.erase(input_.begin(), input_.end() - in[1].cbBuffer);
        else if (status != SEC_I_INCOMPLETE_CREDENTIALS)
            input_.clear();
        if (status == SEC_E_OK) {
            established_ = true;
            return true;
        }
        needInput = status == SEC_I_CONTINUE_NEEDED && input_.empty();
    }
}

bool TlsChannel::NegotiatedTls12OrLater() {
    // The credentials already ask for no less, but Wine 8 takes the newer structure and ignores
    // its protocol list: it offers TLS 1.0 and 1.1 too, and a server that speaks nothing newer
    // gets through the handshake. Nothing of ours has been sent then; it stops here.
    SecPkgContext_ConnectionInfo info = {};
    if (security::QueryContext(context_.get(), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return false;
    return (info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) != 0;
}

bool TlsChannel::ServerIsTrusted(const TlsSettings& settings) {
    security::UniqueCertificate certificate;
    if (security::QueryContext(context_.get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, certificate.receive()) != SEC_E_OK ||
        certificate.get() == nullptr)
        return false;
    if (!settings.pin.IsEmpty()) {
        // The pin replaces the trust store: a private or self-signed certificate passes on its key.
        BYTE digest[32];
        DWORD length = sizeof digest;
        if (!security::HashPublicKey(&certificate.get()->pCertInfo->SubjectPublicKeyInfo, digest, &length) ||
            length != sizeof digest)
            return false;
        return PinMatches(settings.pin, digest, length);
    }
    if (settings.serverName.IsEmpty()) return false; // an address literal: only a pin can pass
    const std::wstring name = Wide(settings.serverName);
    if (name.empty()) return false;

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainParameters = {};
    chainParameters.cbSize = sizeof chainParameters;
    chainParameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainParameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainParameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // The store that came with the certificate holds the intermediates the server sent.
    security::UniqueChain chain;
    if (!security::GetCertificateChain(certificate.get(), certificate.get()->hCertStore, &chainParameters,
                                       CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, chain.receive()) ||
        chain.get() == nullptr)
        return false;
    // As Windows' own clients: a revocation list or responder that cannot be reached does not
    // fail the connection; a certificate known to be revoked still does. The policy below is not
    // enough on its own: Wine's passes a chain that ends at an unknown issuer (a partial chain).
    const DWORD ignorable = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    if ((chain.get()->TrustStatus.dwErrorStatus & ~ignorable) != 0) return false;

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(name.c_str());
    // Revocation was judged above; Wine's policy does not come back from a chain whose
    // revocation could not be checked.
    ssl.fdwChecks = kIgnoreRevocation;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!security::VerifyChainPolicy(chain.get(), &policy, &status)) return false;
    return status.dwError == 0;
}

int TlsChannel::SendBytes(const void* data, int length, int) {
    if (length <= 0) return 0;
    const size_t recordSpace = sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer;
    const size_t perBatch = kBatchBytes / recordSpace > 0 ? kBatchBytes / recordSpace : 1;
    if (records_.size() < perBatch * recordSpace) records_.resize(perBatch * recordSpace);
    const char* next = static_cast<const char*>(data);
    size_t remaining = static_cast<size_t>(length);
    while (remaining > 0) {
        size_t used = 0;
        for (size_t r = 0; r < perBatch && remaining > 0; ++r) {
            const size_t piece = remaining < sizes_.cbMaximumMessage ? remaining : sizes_.cbMaximumMessage;
            char* at = records_.data() + used;
            std::memcpy(at + sizes_.cbHeader, next, piece);
            SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, at},
                                    {static_cast<ULONG>(piece), SECBUFFER_DATA, at + sizes_.cbHeader},
                                    {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, at + sizes_.cbHeader + piece},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
            if (security::Encrypt(context_.get(), &message) != SEC_E_OK) {
                Fail();
                return SOCKET_ERROR;
            }
            // The trailer may come out shorter than its room: the record is the three parts.
            const size_t recordLength = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
            if (buffers[2].pvBuffer != at + buffers[0].cbBuffer + buffers[1].cbBuffer)
                std::memmove(at + buffers[0].cbBuffer + buffers[1].cbBuffer, buffers[2].pvBuffer, buffers[2].cbBuffer);
            used += recordLength;
            next += piece;
            remaining -= piece;
        }
        if (socket_.SendBytes(records_.data(), static_cast<int>(used), 0) != static_cast<int>(used))
            return SOCKET_ERROR;
    }
    return length;
}

int TlsChannel::ReceiveBytes(void* buffer, int size, int) {
    if (size <= 0) return 0;
    for (;;) {
        if (!plain_.empty()) {
            const size_t n = plain_.size() < static_cast<size_t>(size) ? plain_.size() : static_cast<size_t>(size);
            std::memcpy(buffer, plain_.data(), n);
            plain_.erase(0, n);
            return static_cast<int>(n);
        }
        if (ended_) return 0;
        if (!input_.empty()) {
            SecBuffer buffers[4] = {{static_cast<ULONG>(input_.size()), SECBUFFER_DATA, input_.data()},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = security::Decrypt(context_.get(), &message);
            if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED || status == SEC_I_RENEGOTIATE) {
                std::vector<char> extra;
                for (const SecBuffer& b : buffers) {
                    if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0)
                        plain_.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                    if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0 && b.cbBuffer <= input_.size())
                        extra.assign(input_.end() - b.cbBuffer, input_.end());
                }
                input_.swap(extra);
                if (status == SEC_I_CONTEXT_EXPIRED) ended_ = true;
                // TLS 1.3 sends handshake messages after the handshake (session tickets): the
                // context takes them as a handshake of its own.
                if (status == SEC_I_RENEGOTIATE && !Handshake()) return SOCKET_ERROR;
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                Fail();
                return SOCKET_ERROR;
            }
        }
        if (!ReadMore()) return SOCKET_ERROR;
    }
}

bool TlsChannel::Close() {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
    if (security::ApplyControlToken(context_.get(), &controlDesc) != SEC_E_OK) return Fail();
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    const SECURITY_STATUS status = security::InitializeContext(credentials_.get(), context_.get(), target_,
                                                               kRequirements, nullptr, nullptr, &outDesc, &attributes);
    security::UniqueContextBuffer token(out[0].pvBuffer);
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED) return Fail();
    if (out[0].cbBuffer == 0) return Fail();
    return SendToken(out[0]);
}
