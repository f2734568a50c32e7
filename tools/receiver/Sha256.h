// SHA-256 of a byte stream fed in pieces; uses the processor's SHA instructions when it has them
// (the receiver digests payloads at well over a gigabyte per second).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t length);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

    static bool UsesShaInstructions();

private:
    void Blocks(const uint8_t* data, size_t count);

    uint32_t state_[8];
    uint8_t pending_[64];
    size_t pendingLength_ = 0;
    uint64_t totalLength_ = 0;
};
