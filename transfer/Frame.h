// The bytes a transfer puts on the wire after the server's greeting: client id, header {1, L},
// payload and trailer {0, 0}, every word 32-bit little-endian whatever the host's byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace frame {

constexpr size_t kGreetingSize = 4;
constexpr size_t kClientIdSize = 4;
constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 8;
// Everything but the payload: 20 bytes.
constexpr size_t kOverheadSize = kClientIdSize + kHeaderSize + kTrailerSize;

constexpr uint32_t kHeaderMarker = 1;

using ClientIdBytes = std::array<unsigned char, kClientIdSize>;
using HeaderBytes = std::array<unsigned char, kHeaderSize>;
using TrailerBytes = std::array<unsigned char, kTrailerSize>;

// Writes value at out[0..3], least significant byte first.
void PutWord32(uint32_t value, unsigned char* out) noexcept;
uint32_t GetWord32(const unsigned char* in) noexcept;

ClientIdBytes EncodeClientId(int32_t clientId) noexcept;
HeaderBytes EncodeHeader(uint32_t payloadLength) noexcept;
TrailerBytes EncodeTrailer() noexcept;

// The whole client-to-server stream for one payload, as one block (tests and tools compare
// received bytes against it; the worker sends the four pieces separately).
std::vector<unsigned char> EncodeFrame(int32_t clientId, const void* payload, uint32_t payloadLength);

} // namespace frame
