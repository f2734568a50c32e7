// The client's frame as the receiver checks it: client id, header {1, L}, L payload bytes and
// trailer {0, 0}, every word 32-bit little-endian. Fed in arbitrary pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class FrameReader {
public:
    enum class State { ClientId, Header, Payload, Trailer, Done, Malformed };

    // Payload bytes are handed to the sink as they arrive, never copied.
    explicit FrameReader(std::function<void(const uint8_t*, size_t)> payloadSink)
        : sink_(std::move(payloadSink)) {}

    // Takes bytes from the stream; bytes after a complete frame make it malformed (counted as
    // trailing). Returns the state afterwards.
    State Feed(const uint8_t* data, size_t length);

    State state() const { return state_; }
    bool WellFormed() const { return state_ == State::Done && trailingBytes_ == 0; }
    int32_t clientId() const { return static_cast<int32_t>(clientId_); }
    uint32_t length() const { return length_; }
    uint64_t payloadReceived() const { return payloadReceived_; }
    uint64_t trailingBytes() const { return trailingBytes_; }
    const char* problem() const { return problem_; }

private:
    bool TakeWord(const uint8_t*& data, size_t& length, uint32_t& word);

    std::function<void(const uint8_t*, size_t)> sink_;
    State state_ = State::ClientId;
    uint8_t word_[4] = {};
    size_t wordFill_ = 0;
    int wordsInPart_ = 0;
    uint32_t clientId_ = 0;
    uint32_t length_ = 0;
    uint64_t payloadReceived_ = 0;
    uint64_t trailingBytes_ = 0;
    const char* problem_ = "";
};
