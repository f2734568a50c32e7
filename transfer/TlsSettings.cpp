// TLS settings: derived from the configuration's texts, and the pin compared as text.
#include "transfer/TlsSettings.h"

#include "config/TextOperations.h"

namespace {
bool IsDottedQuad(const std::string& text) {
    int parts = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > 3) return false;
        } else if (c == '.') {
            if (digits == 0) return false;
            ++parts;
            digits = 0;
        } else {
            return false;
        }
    }
    return parts == 3 && digits > 0;
}
} // namespace

bool IsAddressLiteral(const CText& address) {
    const std::string text(address.Data(), address.Length());
    if (text.empty()) return false;
    // Host names never hold a colon; every IPv6 literal does.
    if (text.find(':') != std::string::npos) return true;
    return IsDottedQuad(text);
}

TlsSettings MakeTlsSettings(const CText& tls, const CText& serverName, const CText& pin, const CText& serverAddress) {
    TlsSettings settings;
    settings.enabled = TrimText(tls) == "1";
    if (!settings.enabled) return settings;
    const CText name = TrimText(serverName);
    const CText address = TrimText(serverAddress);
    settings.serverName = !name.IsEmpty() ? name : IsAddressLiteral(address) ? CText() : address;
    settings.pin = TrimText(pin);
    return settings;
}

std::string EncodeBase64(const unsigned char* bytes, size_t length) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const unsigned value = (unsigned(bytes[i]) << 16) | (i + 1 < length ? unsigned(bytes[i + 1]) << 8 : 0u) |
                               (i + 2 < length ? unsigned(bytes[i + 2]) : 0u);
        text += kAlphabet[(value >> 18) & 63];
        text += kAlphabet[(value >> 12) & 63];
        text += i + 1 < length ? kAlphabet[(value >> 6) & 63] : '=';
        text += i + 2 < length ? kAlphabet[value & 63] : '=';
    }
    return text;
}

bool PinMatches(const CText& pin, const unsigned char* digest, size_t length) {
    std::string expected = EncodeBase64(digest, length);
    std::string given(pin.Data(), pin.Length());
    if (given.empty()) return false;
    while (!expected.empty() && expected.back() == '=') expected.pop_back();
    while (!given.empty() && given.back() == '=') given.pop_back();
    return given == expected;
}
