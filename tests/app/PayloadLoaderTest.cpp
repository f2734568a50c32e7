// Loading the file to send: text translation, NUL bytes kept whole, sizes on chunk boundaries,
// reads that fail.
#include "app/PayloadLoader.h"
#include "framework/ReadOnlyFile.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/TestFiles.h"

namespace {

// What the text translation must deliver, written the slow, obvious way.
std::string Translated(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == 0x1A) break;
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) out += raw[i];
    }
    return out;
}

std::string Load(const std::string& raw, size_t blockSize = 0) {
    ScratchFile file(raw, "payload.txt");
    CText payload("left over");
    unsigned long readError = 1;
    EXPECT_EQ(PayloadLoad::loaded, LoadPayload(file.Path(), payload, readError, blockSize));
    EXPECT_EQ(0u, readError);
    return std::string(payload.Data(), payload.Length());
}

TEST(PayloadLoader, TranslatesTextAndKeepsEveryOtherByte) {
    std::string all256;
    for (int c = 0; c < 256; ++c)
        if (c != 0x1A) all256 += static_cast<char>(c);
    struct Row {
        const char* name;
        std::string raw, want;
    } rows[] = {
        {"empty", "", ""},
        {"crlf", "a\r\nb\r\n", "a\nb\n"},
        {"lone cr kept, also last", "a\rb\r", "a\rb\r"},
        {"cr cr lf", "\r\r\n", "\r\n"},
        {"ctrl-z in the middle", "abc\r\n\x1A" "def\r\n", "abc\n"},
        {"nul kept", std::string("ab\0cd\0", 6), std::string("ab\0cd\0", 6)},
        {"all bytes but ctrl-z", all256, all256},
    };
    for (const Row& row : rows) EXPECT_EQ(row.want, Load(row.raw)) << row.name;
}

TEST(PayloadLoader, NulBeyondTheFirstChunkCutsNothing) {
    // A NUL at offset 10 of a file longer than 64 KiB: every byte after it is still sent.
    std::string raw(70000, 'k');
    raw[10] = '\0';
    raw[65536 + 5] = '\0';
    EXPECT_EQ(raw, Load(raw));
}

TEST(PayloadLoader, SizesOnReadBoundaries) {
    for (size_t size : {size_t{65535}, size_t{65536}, size_t{65537}, size_t{1} << 20, (size_t{1} << 20) + 1}) {
        std::string raw(size, 'x');
        EXPECT_EQ(raw, Load(raw)) << size;
    }
    // CR LF straddling the reader's block boundary at several block sizes.
    for (size_t block : {size_t{512}, size_t{65536}}) {
        std::string raw(block - 1, 'y');
        raw += "\r\nz";
        EXPECT_EQ(std::string(block - 1, 'y') + "\nz", Load(raw, block)) << block;
    }
}

TEST(PayloadLoader, BigFileMatchesTheSlowTranslation) {
    std::mt19937 random(1234);
    std::string raw(9u << 20, '\0');
    for (char& c : raw) {
        unsigned r = random() % 64;
        c = r == 0 ? '\r' : r == 1 ? '\n' : r == 2 ? '\0' : static_cast<char>('a' + r % 26);
    }
    EXPECT_TRUE(SameBytes(Translated(raw), Load(raw)));
}

TEST(PayloadLoader, EveryBlockSizeDeliversTheSameBytes) {
    // Dense CR LF runs, lone CRs, NULs, a CR as the last byte; and the same with a Ctrl-Z inside.
    std::string raw;
    for (int i = 0; i < 400; ++i) {
        raw += std::string(static_cast<size_t>(i % 37), static_cast<char>('A' + i % 26));
        raw += i % 4 == 0 ? "\r\n\r\n" : i % 4 == 1 ? "\r" : i % 4 == 2 ? std::string("\0\r\n", 3) : "\r\r\n";
    }
    raw += '\r';
    std::string cut = raw.substr(0, raw.size() / 2) + "\x1A" + raw.substr(raw.size() / 2);
    for (size_t block : {size_t{2}, size_t{3}, size_t{15}, size_t{16}, size_t{17}, size_t{1000}, size_t{0}}) {
        EXPECT_TRUE(SameBytes(Translated(raw), Load(raw, block))) << block;
        EXPECT_TRUE(SameBytes(Translated(cut), Load(cut, block))) << block;
    }
}

TEST(PayloadLoader, MissingFileOrDirectoryIsNotOpenedAndNothingIsCreated) {
    std::string missing = ScratchFile::TempDirectory() + "parvolet-missing.txt";
    CText payload;
    unsigned long readError = 0;
    EXPECT_EQ(PayloadLoad::notOpened, LoadPayload(CText(missing.c_str()), payload, readError));
    EXPECT_EQ(nullptr, std::fopen(missing.c_str(), "rb"));
    EXPECT_EQ(PayloadLoad::notOpened, LoadPayload(CText(ScratchFile::TempDirectory().c_str()), payload, readError));
}

TEST(PayloadLoader, AFailedReadRefusesTheFileWhereverItComes) {
    // Raw reads of 1000 bytes: four deliver data (a CR LF straddles the first boundary), the fifth
    // finds the end. Whichever fails, nothing read before it may pass for the whole file.
    std::string raw = std::string(999, 'a') + "\r\n" + std::string(2999, 'b');
    ScratchFile file(raw, "failing.txt");
    const unsigned long kLockViolation = 33; // what another program's lock on a range gives
    for (unsigned long k = 1; k <= 5; ++k) {
        ReadOnlyFile::FailNthRead(k, kLockViolation);
        CText payload("left over");
        unsigned long readError = 0;
        EXPECT_EQ(PayloadLoad::readFailed, LoadPayload(file.Path(), payload, readError, 1000)) << k;
        EXPECT_EQ(kLockViolation, readError) << k;
        EXPECT_EQ(0u, payload.Length()) << k;
        ReadOnlyFile::FailNthRead(0, 0);
    }
    EXPECT_EQ(Translated(raw), Load(raw, 1000));
}

} // namespace
