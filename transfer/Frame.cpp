// Encoding of the client-to-server frame. The words are written byte by byte so the stream is the
// same on any host, never a copy of a host integer's memory.
#include "transfer/Frame.h"

namespace frame {

void PutWord32(uint32_t value, unsigned char* out) noexcept {
    out[0] = static_cast<unsigned char>(value & 0xFFu);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFFu);
    out[2] = static_cast<unsigned char>((value >> 16) & 0xFFu);
    out[3] = static_cast<unsigned char>((value >> 24) & 0xFFu);
}

uint32_t GetWord32(const unsigned char* in) noexcept {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

ClientIdBytes EncodeClientId(int32_t clientId) noexcept {
    ClientIdBytes bytes{};
    // Two's complement by definition of the conversion: -1 becomes FF FF FF FF.
    PutWord32(static_cast<uint32_t>(clientId), bytes.data());
    return bytes;
}

HeaderBytes EncodeHeader(uint32_t payloadLength) noexcept {
    HeaderBytes bytes{};
    PutWord32(kHeaderMarker, bytes.data());
    PutWord32(payloadLength, bytes.data() + 4);
    return bytes;
}

TrailerBytes EncodeTrailer() noexcept {
    TrailerBytes bytes{};
    PutWord32(0, bytes.data());
    PutWord32(0, bytes.data() + 4);
    return bytes;
}

std::vector<unsigned char> EncodeFrame(int32_t clientId, const void* payload, uint32_t payloadLength) {
    std::vector<unsigned char> out;
    out.reserve(kOverheadSize + payloadLength);
    ClientIdBytes id = EncodeClientId(clientId);
    HeaderBytes header = EncodeHeader(payloadLength);
    TrailerBytes trailer = EncodeTrailer();
    out.insert(out.end(), id.begin(), id.end());
    out.insert(out.end(), header.begin(), header.end());
    const auto* bytes = static_cast<const unsigned char*>(payload);
    if (payloadLength != 0) out.insert(out.end(), bytes, bytes + payloadLength);
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

} // namespace frame
