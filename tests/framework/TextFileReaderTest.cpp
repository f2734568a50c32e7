// The text-mode reader: translation at every kind of buffer boundary, Ctrl-Z, lines.
#include "framework/TextFileReader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdio>
#endif

namespace {

// What the text translation must deliver, written the slow, obvious way.
std::string Expected(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == 0x1A) break;
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += c;
    }
    return out;
}

std::string ReadAll(const CText& path, size_t blockSize, size_t chunk) {
    TextFileReader reader(blockSize);
    EXPECT_TRUE(reader.Open(path));
    std::string out;
    std::vector<char> buffer(chunk);
    for (;;) {
        size_t n = reader.Read(buffer.data(), buffer.size());
        out.append(buffer.data(), n);
        if (n < buffer.size()) {
            EXPECT_TRUE(reader.AtEnd());
            EXPECT_EQ(0u, reader.Read(buffer.data(), buffer.size()));
            break;
        }
    }
    return out;
}

// The translation cases run once per scan: byte by byte, and with SSE2 where the processor has it.
class TextFileReaderScan : public ::testing::TestWithParam<TextScan> {
protected:
    void SetUp() override {
        if (!ForceTextScan(GetParam())) GTEST_SKIP() << "this processor cannot run the scan";
    }
    void TearDown() override { ForceTextScan(BestTextScan()); }
};

INSTANTIATE_TEST_SUITE_P(Scans, TextFileReaderScan, ::testing::Values(TextScan::plain, TextScan::sse2),
                         [](const ::testing::TestParamInfo<TextScan>& info) {
                             return std::string(info.param == TextScan::sse2 ? "sse2" : "plain");
                         });

TEST(TextScan, TheFastScanIsChosenWhereTheProcessorHasIt) {
#if defined(__i386__) || defined(__x86_64__)
    // Every machine these tests run on has SSE2; a detection that missed it would leave the
    // program slow everywhere and the fast path untested.
    EXPECT_EQ(TextScan::sse2, BestTextScan());
#endif
    EXPECT_EQ(BestTextScan(), ActiveTextScan());
    ASSERT_TRUE(ForceTextScan(TextScan::plain));
    EXPECT_EQ(TextScan::plain, ActiveTextScan());
    EXPECT_TRUE(ForceTextScan(BestTextScan()));
    EXPECT_EQ(BestTextScan(), ActiveTextScan());
}

TEST_P(TextFileReaderScan, TranslatesAcrossBlockAndChunkBoundaries) {
    // CR LF pairs and lone CRs placed so that every block and read size below splits some of them.
    std::string raw;
    for (int i = 0; i < 300; ++i) {
        raw += std::string(static_cast<size_t>(i % 7), 'a' + i % 26);
        raw += (i % 3 == 0) ? "\r\n" : (i % 3 == 1 ? "\r" : "\r\r\n");
        raw += '\0';
    }
    raw += '\r'; // a lone CR as the very last byte stays
    ScratchFile file(raw);
    for (size_t block : {2, 3, 5, 8, 9, 16, 17, 511, 512, 4096}) {
        for (size_t chunk : {1, 2, 7, 8, 9, 15, 512, 100000}) {
            EXPECT_EQ(Expected(raw), ReadAll(file.Path(), block, chunk)) << block << "/" << chunk;
        }
    }
}

TEST_P(TextFileReaderScan, InPlaceTranslationAroundTheSixteenByteScan) {
    // Lines of every length around the scan width, so CRs fall at each offset of a scan while the
    // distance between the translated and the raw bytes grows through 1 to 16 and beyond; then
    // Ctrl-Z at each offset after a run of CR LFs.
    std::vector<std::string> raws;
    for (size_t length = 0; length <= 33; ++length) {
        std::string raw;
        for (int i = 0; i < 40; ++i) {
            raw += std::string(length, static_cast<char>('a' + i % 26));
            raw += i % 5 == 4 ? "\r" : "\r\n";
        }
        raws.push_back(raw);
    }
    for (size_t at = 0; at < 48; ++at) {
        std::string raw;
        for (int i = 0; i < 20; ++i) raw += "\r\n";
        raws.push_back(raw + std::string(at, 'z') + "\x1A" + "after\r\n");
    }
    for (const std::string& raw : raws) {
        ScratchFile file(raw);
        for (size_t block : {2, 16, 17, 64, 4096}) {
            for (size_t chunk : {1, 5, 16, 65536}) {
                EXPECT_EQ(Expected(raw), ReadAll(file.Path(), block, chunk)) << raw.size() << "/" << block << "/" << chunk;
            }
        }
    }
}

TEST_P(TextFileReaderScan, RandomTextsMatchTheSlowTranslation) {
    // Few kinds of byte, so CR LF pairs, CR CR LF and Ctrl-Z meet block and read boundaries often.
    const char alphabet[] = {'\r', '\r', '\r', '\n', '\n', '\0', 'a', 'b', 'c', 'd', 'e', 'f'};
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        std::string raw(random() % 4000, 'x');
        for (char& c : raw) c = alphabet[random() % sizeof alphabet];
        if (round % 3 == 0 && !raw.empty()) raw[random() % raw.size()] = 0x1A;
        size_t block = 2 + random() % 100;
        size_t chunk = round % 2 == 0 ? 1 + random() % 50 : block + random() % 5000;
        ScratchFile file(raw);
        EXPECT_EQ(Expected(raw), ReadAll(file.Path(), block, chunk)) << round;
    }
}

TEST_P(TextFileReaderScan, CrLfStraddlingTheDefaultBlockBoundary) {
    for (size_t at : {size_t{511}, size_t{65535}, TextFileReader::kBlockSize - 1}) {
        std::string raw(at, 'x');
        raw += "\r\ny\r";
        raw += std::string(10, 'z');
        ScratchFile file(raw);
        std::string got = ReadAll(file.Path(), TextFileReader::kBlockSize, 65536);
        EXPECT_TRUE(SameBytes(Expected(raw), got)) << at;
        EXPECT_EQ(raw.size() - 1, got.size()) << at;
    }
}

TEST_P(TextFileReaderScan, CtrlZEndsTheData) {
    struct Row {
        std::string raw, want;
    } rows[] = {
        {"abc\x1A" "def", "abc"},
        {"\x1A", ""},
        {"ab\r\x1A\n", "ab\r"}, // the CR before Ctrl-Z has no LF after it
        {"a\r\nb\x1A\x1A", "a\nb"},
    };
    for (const Row& row : rows) {
        ScratchFile file(row.raw);
        for (size_t block : {2, 3, 4096}) EXPECT_EQ(row.want, ReadAll(file.Path(), block, 3));
    }
}

TEST(TextFileReader, ReadsLinesWholeWithNulsAndLoneCrs) {
    std::string longLine(3 * 4096 + 17, 'q');
    std::string raw = "one\r\ntwo\rstill two\n\n" + std::string("n\0l", 3) + "\r\n" + longLine + "\r\nlast\r";
    ScratchFile file(raw);
    for (size_t block : {size_t{2}, size_t{3}, size_t{4096}, TextFileReader::kBlockSize}) {
        TextFileReader reader(block);
        ASSERT_TRUE(reader.Open(file.Path()));
        std::vector<std::string> lines;
        CText line;
        while (reader.ReadLine(line)) lines.emplace_back(line.Data(), line.Length());
        std::vector<std::string> want = {"one", "two\rstill two", "", std::string("n\0l", 3), longLine,
                                         "last\r"};
        EXPECT_EQ(want, lines) << block;
        EXPECT_FALSE(reader.ReadLine(line));
        EXPECT_TRUE(line.IsEmpty());
    }
}

TEST(TextFileReader, EmptyFileAndTrailingLineFeed) {
    ScratchFile empty("");
    TextFileReader reader;
    ASSERT_TRUE(reader.Open(empty.Path()));
    EXPECT_TRUE(reader.AtEnd());
    CText line;
    EXPECT_FALSE(reader.ReadLine(line));

    ScratchFile one("only\r\n", "one.txt");
    ASSERT_TRUE(reader.Open(one.Path()));
    EXPECT_TRUE(reader.ReadLine(line));
    EXPECT_EQ(CText("only"), line);
    EXPECT_FALSE(reader.ReadLine(line));
}

TEST(ReadOnlyFile, RefusesMissingFilesAndDirectories) {
    ReadOnlyFile file;
    EXPECT_FALSE(file.Open(CText((ScratchFile::TempDirectory() + "no-such-file.txt").c_str())));
    EXPECT_FALSE(file.Open(CText(ScratchFile::TempDirectory().c_str())));
    EXPECT_FALSE(file.Open(CText()));
    ScratchFile real("12345");
    CText withNul = real.Path();
    withNul.Append("\0x", 2); // must not open the name before the NUL
    EXPECT_FALSE(file.Open(withNul));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(-1, file.Read(nullptr, 0));

    ASSERT_TRUE(file.Open(real.Path()));
    unsigned long long size = 0;
    EXPECT_TRUE(file.QuerySize(size));
    EXPECT_EQ(5u, size);
    char buffer[8];
    EXPECT_EQ(5, file.Read(buffer, sizeof buffer));
    EXPECT_EQ(0, file.Read(buffer, sizeof buffer));
}

// The program that started us may delete or rename the file to send (or the configuration) while
// we read it; the reader's handle must not stand in its way, and must go on reading the data.
bool DeleteWhileOpen(const std::string& path) {
#if defined(_WIN32)
    return DeleteFileA(path.c_str()) != FALSE;
#else
    return std::remove(path.c_str()) == 0;
#endif
}

bool RenameWhileOpen(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileA(from.c_str(), to.c_str()) != FALSE;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool Exists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) std::fclose(file);
    return file != nullptr;
}

TEST(TextFileReader, OthersMayDeleteOrRenameTheFileWhileItIsRead) {
    const std::string raw = std::string(10000, 'a') + "\r\n" + std::string(10000, 'b');
    for (bool rename : {false, true}) {
        SCOPED_TRACE(rename ? "rename" : "delete");
        ScratchFile file(raw, "held-open.txt");
        const std::string path(file.Path().Data());
        const std::string moved = path + ".moved";
        TextFileReader reader(4096);
        ASSERT_TRUE(reader.Open(file.Path()));
        std::vector<char> buffer(raw.size());
        size_t first = reader.Read(buffer.data(), 5000);
        ASSERT_EQ(5000u, first);

        EXPECT_TRUE(rename ? RenameWhileOpen(path, moved) : DeleteWhileOpen(path));
        size_t rest = reader.Read(buffer.data() + first, buffer.size() - first);
        EXPECT_EQ(Expected(raw), std::string(buffer.data(), first + rest));
        reader.Close();

        EXPECT_FALSE(Exists(path));
        EXPECT_EQ(rename, Exists(moved));
        std::remove(moved.c_str());
    }
}

} // namespace
