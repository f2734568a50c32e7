// The frame's bytes: layout, byte order and the edge values of the client id and the length.
#include "transfer/Frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using Bytes = std::vector<unsigned char>;

TEST(Frame, ExampleMessageIsTheTwentyThreeDocumentedBytes) {
    const Bytes expected = {0xD2, 0x04, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                            0x61, 0x62, 0x63, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(frame::EncodeFrame(1234, "abc", 3), expected);
}

TEST(Frame, EmptyPayloadIsHeaderWithZeroLengthAndTrailer) {
    const Bytes expected = {0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(frame::EncodeFrame(7, nullptr, 0), expected);
    EXPECT_EQ(expected.size(), frame::kOverheadSize);
}

TEST(Frame, ClientIdIsTwosComplementLittleEndian) {
    struct Row {
        int32_t id;
        frame::ClientIdBytes bytes;
    };
    const Row rows[] = {
        {0, {0x00, 0x00, 0x00, 0x00}},
        {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
        {1, {0x01, 0x00, 0x00, 0x00}},
        {0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {INT32_MIN, {0x00, 0x00, 0x00, 0x80}},
        {INT32_MAX, {0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(frame::EncodeClientId(row.id), row.bytes) << "id " << row.id;
    }
}

TEST(Frame, HeaderCarriesMarkerAndFullThirtyTwoBitLength) {
    const frame::HeaderBytes big = frame::EncodeHeader(0xFEDCBA98u);
    const frame::HeaderBytes expected = {0x01, 0x00, 0x00, 0x00, 0x98, 0xBA, 0xDC, 0xFE};
    EXPECT_EQ(big, expected);
    EXPECT_EQ(frame::GetWord32(big.data() + 4), 0xFEDCBA98u);
    EXPECT_EQ(frame::EncodeTrailer(), (frame::TrailerBytes{}));
}

TEST(Frame, PayloadBytesGoVerbatimIncludingNuls) {
    const char payload[] = {'a', '\0', '\n', '\xFF'};
    Bytes encoded = frame::EncodeFrame(1, payload, sizeof payload);
    ASSERT_EQ(encoded.size(), frame::kOverheadSize + sizeof payload);
    EXPECT_EQ(std::memcmp(encoded.data() + 12, payload, sizeof payload), 0);
    EXPECT_EQ(frame::GetWord32(encoded.data() + 8), sizeof payload);
}
