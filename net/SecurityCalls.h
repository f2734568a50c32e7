// The TLS layer's calls into Schannel (SECUR32) and the certificate functions (CRYPT32), behind
// the same seam as the Winsock calls (WinsockCalls.h): each asks InjectFailure first, so a test
// can make any one of them fail in turn. The releases are never made to fail: a leak test needs
// them to work.
#pragma once

#include "net/WinsockCalls.h"

#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#define SECURITY_WIN32
#include <security.h>
// For SCH_CREDENTIALS and TLS_PARAMETERS.
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>

namespace security {

// What an injected failure of a Schannel call answers: a status any of them may give.
constexpr SECURITY_STATUS kInjectedStatus = SEC_E_INTERNAL_ERROR;
// CALG_SHA_256; the headers declare it only for newer targets than this program's.
constexpr ALG_ID kSha256 = ALG_CLASS_HASH | ALG_TYPE_ANY | 12;

inline SECURITY_STATUS AcquireCredentials(void* authData, CredHandle* credentials, TimeStamp* expiry) {
    if (winsock::InjectFailure(winsock::Call::AcquireCredentials)) return kInjectedStatus;
    return ::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                       authData, nullptr, nullptr, credentials, expiry);
}
inline SECURITY_STATUS InitializeContext(CredHandle* credentials, CtxtHandle* context, const char* target,
                                         ULONG requirements, SecBufferDesc* input, CtxtHandle* newContext,
                                         SecBufferDesc* output, ULONG* attributes) {
    if (winsock::InjectFailure(winsock::Call::InitializeContext)) return kInjectedStatus;
    TimeStamp expiry;
    return ::InitializeSecurityContextA(credentials, context, const_cast<char*>(target), requirements, 0, 0, input,
                                        0, newContext, output, attributes, &expiry);
}
inline SECURITY_STATUS QueryContext(CtxtHandle* context, ULONG attribute, void* buffer) {
    if (winsock::InjectFailure(winsock::Call::QueryContext)) return kInjectedStatus;
    return ::QueryContextAttributesA(context, attribute, buffer);
}
inline SECURITY_STATUS Encrypt(CtxtHandle* context, SecBufferDesc* message) {
    if (winsock::InjectFailure(winsock::Call::Encrypt)) return kInjectedStatus;
    return ::EncryptMessage(context, 0, message, 0);
}
inline SECURITY_STATUS Decrypt(CtxtHandle* context, SecBufferDesc* message) {
    if (winsock::InjectFailure(winsock::Call::Decrypt)) return kInjectedStatus;
    return ::DecryptMessage(context, message, 0, nullptr);
}
inline SECURITY_STATUS ApplyControlToken(CtxtHandle* context, SecBufferDesc* input) {
    if (winsock::InjectFailure(winsock::Call::ApplyControlToken)) return kInjectedStatus;
    return ::ApplyControlToken(context, input);
}
inline void DeleteContext(CtxtHandle* context) { ::DeleteSecurityContext(context); }
inline void FreeCredentials(CredHandle* credentials) { ::FreeCredentialsHandle(credentials); }
inline void FreeBuffer(void* buffer) { ::FreeContextBuffer(buffer); }

inline BOOL GetCertificateChain(PCCERT_CONTEXT certificate, HCERTSTORE additionalStore, CERT_CHAIN_PARA* parameters,
                                DWORD flags, PCCERT_CHAIN_CONTEXT* chain) {
    if (winsock::InjectFailure(winsock::Call::GetCertificateChain)) return FALSE;
    return ::CertGetCertificateChain(nullptr, certificate, nullptr, additionalStore, parameters, flags, nullptr, chain);
}
inline BOOL VerifyChainPolicy(PCCERT_CHAIN_CONTEXT chain, CERT_CHAIN_POLICY_PARA* parameters,
                              CERT_CHAIN_POLICY_STATUS* status) {
    if (winsock::InjectFailure(winsock::Call::VerifyChainPolicy)) return FALSE;
    return ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, parameters, status);
}
inline BOOL HashPublicKey(CERT_PUBLIC_KEY_INFO* key, BYTE* digest, DWORD* length) {
    if (winsock::InjectFailure(winsock::Call::HashPublicKey)) return FALSE;
    return ::CryptHashPublicKeyInfo(0, kSha256, 0, X509_ASN_ENCODING, key, digest, length);
}
inline void FreeChain(PCCERT_CHAIN_CONTEXT chain) { ::CertFreeCertificateChain(chain); }
inline void FreeCertificate(PCCERT_CONTEXT certificate) { ::CertFreeCertificateContext(certificate); }

} // namespace security
