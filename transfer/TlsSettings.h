// The TLS choice of one transfer, as Parvolet.ini gives it, and the checks on it that need no
// system call: which name the certificate must carry and whether a key digest matches the pin.
#pragma once

#include "framework/Text.h"

#include <cstddef>
#include <string>

struct TlsSettings {
    bool enabled = false;
    // The name the server's certificate must carry; empty when only a pin can pass (an address
    // literal without TlsServerName).
    CText serverName;
    // The base64 SHA-256 of the server's SubjectPublicKeyInfo; empty: the trust store decides.
    CText pin;
};

// The three [Network] values as read, and the server address. Only a Tls value of exactly 1
// turns TLS on: a typo must not silently change what the program does to a server that speaks
// plain TCP, and a plain server never sees TLS it did not ask for.
TlsSettings MakeTlsSettings(const CText& tls, const CText& serverName, const CText& pin, const CText& serverAddress);

// True for a dotted IPv4 address or an IPv6 literal (with or without brackets): no certificate
// name is derived from those.
bool IsAddressLiteral(const CText& address);

std::string EncodeBase64(const unsigned char* bytes, size_t length);

// Whether digest (32 bytes) is the pinned key. The pin may come without its "=" padding, as some
// tools print it; nothing else is forgiven.
bool PinMatches(const CText& pin, const unsigned char* digest, size_t length);
