// Incremental checking of the client's frame.
#include "tools/receiver/Frame.h"

bool FrameReader::TakeWord(const uint8_t*& data, size_t& length, uint32_t& word) {
    while (wordFill_ < 4 && length > 0) {
        word_[wordFill_++] = *data++;
        --length;
    }
    if (wordFill_ < 4) return false;
    wordFill_ = 0;
    word = uint32_t(word_[0]) | uint32_t(word_[1]) << 8 | uint32_t(word_[2]) << 16 | uint32_t(word_[3]) << 24;
    return true;
}

FrameReader::State FrameReader::Feed(const uint8_t* data, size_t length) {
    while (length > 0) {
        uint32_t word = 0;
        switch (state_) {
        case State::ClientId:
            if (!TakeWord(data, length, word)) break;
            clientId_ = word;
            state_ = State::Header;
            break;
        case State::Header:
            if (!TakeWord(data, length, word)) break;
            if (wordsInPart_ == 0) {
                if (word != 1) {
                    problem_ = "header word 1 is not 1";
                    state_ = State::Malformed;
                    break;
                }
                wordsInPart_ = 1;
            } else {
                length_ = word;
                wordsInPart_ = 0;
                state_ = length_ == 0 ? State::Trailer : State::Payload;
            }
            break;
        case State::Payload: {
            uint64_t left = length_ - payloadReceived_;
            size_t take = left < length ? static_cast<size_t>(left) : length;
            if (sink_) sink_(data, take);
            payloadReceived_ += take;
            data += take;
            length -= take;
            if (payloadReceived_ == length_) state_ = State::Trailer;
            break;
        }
        case State::Trailer:
            if (!TakeWord(data, length, word)) break;
            if (word != 0) {
                problem_ = "trailer word is not 0";
                state_ = State::Malformed;
                break;
            }
            if (++wordsInPart_ == 2) state_ = State::Done;
            break;
        case State::Done:
            problem_ = "bytes after the trailer";
            trailingBytes_ += length;
            length = 0;
            break;
        case State::Malformed:
            trailingBytes_ += length;
            length = 0;
            break;
        }
    }
    return state_;
}
