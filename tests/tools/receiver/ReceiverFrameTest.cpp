// The test receiver's own checks: frame validation over arbitrary piece boundaries, and its
// SHA-256 (both block functions) against known digests.
#include "tools/receiver/Frame.h"
#include "tools/receiver/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::vector<uint8_t> Words(std::initializer_list<uint32_t> words, const std::string& payloadAfterThird = "") {
    std::vector<uint8_t> bytes;
    int index = 0;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
        if (++index == 3) bytes.insert(bytes.end(), payloadAfterThird.begin(), payloadAfterThird.end());
    }
    return bytes;
}
} // namespace

TEST(ReceiverFrame, ValidatesFramesFedInAnyPieces) {
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        bool wellFormed;
        int32_t clientId;
        uint32_t length;
    };
    const Row rows[] = {
        {"abc", Words({1234, 1, 3, 0, 0}, "abc"), true, 1234, 3},
        {"empty payload", Words({static_cast<uint32_t>(-1), 1, 0, 0, 0}), true, -1, 0},
        {"bad header", Words({7, 2, 3, 0, 0}, "abc"), false, 7, 0},
        {"bad trailer", Words({7, 1, 3, 0, 1}, "abc"), false, 7, 3},
        {"cut short", Words({7, 1, 3}, "ab"), false, 7, 3},
        {"bytes after the trailer", Words({7, 1, 3, 0, 0, 9}, "abc"), false, 7, 3},
    };
    for (const Row& row : rows) {
        for (size_t piece : {size_t(1), size_t(3), size_t(1000)}) {
            SCOPED_TRACE(std::string(row.name) + ", pieces of " + std::to_string(piece));
            std::string payload;
            FrameReader frame([&](const uint8_t* d, size_t n) { payload.append(reinterpret_cast<const char*>(d), n); });
            for (size_t at = 0; at < row.bytes.size(); at += piece)
                frame.Feed(row.bytes.data() + at, std::min(piece, row.bytes.size() - at));
            EXPECT_EQ(frame.WellFormed(), row.wellFormed);
            EXPECT_EQ(frame.clientId(), row.clientId);
            EXPECT_EQ(frame.length(), row.length);
            if (row.wellFormed) {
                EXPECT_EQ(payload.size(), row.length);
            }
        }
    }
}

TEST(ReceiverSha256, MatchesKnownDigestsWhateverThePieces) {
    struct Row {
        std::string input;
        const char* digest;
    };
    const Row rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Row& row : rows) {
        for (size_t piece : {size_t(1), size_t(63), size_t(4096)}) {
            if (row.input.size() > 100000 && piece == 1) continue;
            Sha256 sha;
            for (size_t at = 0; at < row.input.size(); at += piece)
                sha.Update(row.input.data() + at, std::min(piece, row.input.size() - at));
            EXPECT_EQ(sha.HexDigest(), row.digest) << row.input.size() << " bytes in pieces of " << piece;
        }
    }
}
