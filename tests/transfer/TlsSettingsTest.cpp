// The TLS choice read from the configuration: when it is on, which name the certificate must
// carry, and how a pin is compared.
#include "transfer/TlsSettings.h"

#include <gtest/gtest.h>

#include <string>

TEST(TlsSettings, OnlyOneTurnsItOnAndTheNameDefaultsToAHostAddressOnly) {
    struct Row {
        const char* tls;
        const char* serverName;
        const char* address;
        bool enabled;
        const char* name;
    };
    const Row rows[] = {
        {"1", "", "reg.example.com", true, "reg.example.com"},
        {" 1 ", "", " reg.example.com ", true, "reg.example.com"},
        {"1", "front.example.com", "reg.example.com", true, "front.example.com"},
        {"1", "", "192.0.2.7", true, ""},
        {"1", "", "::1", true, ""},
        {"1", "", "[2001:db8::1]", true, ""},
        {"1", "front.example.com", "192.0.2.7", true, "front.example.com"},
        // A name made only of digits and dots that is no dotted quad stays a name.
        {"1", "", "1.2.3", true, "1.2.3"},
        {"1", "", "1.2.3.4.5", true, "1.2.3.4.5"},
        {"1", "", "1234.2.3.4", true, "1234.2.3.4"},
        {"", "", "reg.example.com", false, ""},
        {"0", "", "reg.example.com", false, ""},
        {"yes", "", "reg.example.com", false, ""},
        {"true", "", "reg.example.com", false, ""},
        {"01", "", "reg.example.com", false, ""},
        {"1;", "", "reg.example.com", false, ""},
    };
    for (const Row& row : rows) {
        const TlsSettings settings = MakeTlsSettings(row.tls, row.serverName, "", row.address);
        EXPECT_EQ(row.enabled, settings.enabled) << row.tls << " / " << row.address;
        EXPECT_EQ(std::string(row.name), std::string(settings.serverName.Data())) << row.tls << " / " << row.address;
    }
}

TEST(TlsSettings, APinMatchesItsKeysDigestOnly) {
    // SHA-256 of "abc" and its base64, as pins are written.
    const unsigned char digest[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                      0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                      0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    const char* pin = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
    EXPECT_EQ(pin, EncodeBase64(digest, sizeof digest));
    EXPECT_EQ("YWJj", EncodeBase64(reinterpret_cast<const unsigned char*>("abc"), 3));
    EXPECT_EQ("YWI=", EncodeBase64(reinterpret_cast<const unsigned char*>("ab"), 2));
    EXPECT_TRUE(PinMatches(pin, digest, sizeof digest));
    EXPECT_TRUE(PinMatches("ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0", digest, sizeof digest));
    EXPECT_TRUE(PinMatches(MakeTlsSettings("1", "", std::string(" ").append(pin).c_str(), "h").pin, digest, 32));
    unsigned char other[32];
    for (size_t i = 0; i < sizeof other; ++i) other[i] = digest[i];
    other[31] ^= 1;
    EXPECT_FALSE(PinMatches(pin, other, sizeof other));
    EXPECT_FALSE(PinMatches("", digest, sizeof digest));
    EXPECT_FALSE(PinMatches("=", digest, sizeof digest));
    EXPECT_FALSE(PinMatches("UNGWV48BZ+PBQUDEXA4II7ADYAOWF3QCTBD/YFIAFA0=", digest, sizeof digest));
    EXPECT_FALSE(PinMatches("ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa", digest, sizeof digest));
}
