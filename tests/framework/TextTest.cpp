// The text string: value semantics over a shared buffer, NUL handling, growth.
#include "framework/Text.h"

#include "framework/Exceptions.h"
#include <gtest/gtest.h>

#include <string>

TEST(Text, BuildingFromCharactersStopsAtFirstNul) {
    EXPECT_EQ(CText("ab\0cd").Length(), 2u);
    EXPECT_EQ(CText(nullptr).Length(), 0u);
    CText counted("ab\0cd", 5);
    EXPECT_EQ(counted.Length(), 5u);
    EXPECT_EQ(counted.Data()[5], '\0');
    CText appended("x");
    appended.Append("yz\0w");
    EXPECT_EQ(appended, "xyz");
}

TEST(Text, CopiesShareUntilOneIsChanged) {
    CText original("payload");
    CText copy(original);
    EXPECT_TRUE(copy.SharesBufferWith(original));
    copy.Append('!');
    EXPECT_FALSE(copy.SharesBufferWith(original));
    EXPECT_EQ(original, "payload");
    EXPECT_EQ(copy, "payload!");

    CText upper(original);
    upper.MakeUpper();
    EXPECT_EQ(original, "payload");
    EXPECT_EQ(upper, "PAYLOAD");
}

TEST(Text, AppendingItselfAndPartsOfItself) {
    CText t("abc");
    t.Append(t);
    EXPECT_EQ(t, "abcabc");
    t.Append(t.Data() + 1, 2); // a view into its own buffer across a reallocation
    EXPECT_EQ(t, "abcabcbc");
}

TEST(Text, CuttingPieces) {
    CText t("hello world");
    EXPECT_EQ(t.Left(5), "hello");
    EXPECT_EQ(t.Right(5), "world");
    EXPECT_EQ(t.Mid(6), "world");
    EXPECT_EQ(t.Mid(4, 3), "o w");
    EXPECT_EQ(t.Mid(20), "");
    EXPECT_EQ(t.Left(100), t);
    CText shared(t);
    shared.Truncate(5);
    EXPECT_EQ(shared, "hello");
    EXPECT_EQ(t, "hello world");
}

TEST(Text, ManyChunkAppendsGrowGeometrically) {
    CText t;
    std::string expected;
    std::string chunk(4096, 'q');
    size_t reallocations = 0;
    const char* last = t.Data();
    for (int i = 0; i < 2048; ++i) {
        chunk[0] = static_cast<char>('a' + i % 26);
        t.Append(chunk.data(), chunk.size());
        expected += chunk;
        if (t.Data() != last) {
            ++reallocations;
            last = t.Data();
        }
    }
    ASSERT_EQ(t.Length(), expected.size());
    EXPECT_EQ(std::string(t.Data(), t.Length()), expected);
    // 8 MiB in 4 KiB steps: geometric growth needs a few dozen buffers, not thousands.
    EXPECT_LT(reallocations, 40u);
}

TEST(Text, ReservedRoomTakesAppendsWithoutMoving) {
    CText t;
    t.Reserve(1 << 20);
    const char* data = t.Data();
    std::string chunk(65536, 'z');
    for (int i = 0; i < 16; ++i) t.Append(chunk.data(), chunk.size());
    EXPECT_EQ(t.Data(), data);
    EXPECT_EQ(t.Length(), 1u << 20);
}

TEST(Text, DirectBufferWriting) {
    CText t("ab");
    CText keep(t);
    char* p = t.GetBuffer(10);
    p[2] = 'c';
    p[3] = '\0';
    p[4] = 'e';
    t.ReleaseBuffer(5);
    EXPECT_EQ(t.Length(), 5u);
    EXPECT_EQ(std::string(t.Data(), 5), std::string("abc\0e", 5));
    EXPECT_EQ(keep, "ab");
}

TEST(Text, ImpossibleSizeRaisesMemoryException) {
    CText t("x");
    try {
        t.Reserve(CText::MaxLength() + 1);
        FAIL() << "no exception";
    } catch (CException* e) {
        EXPECT_TRUE(e->IsShared());
        e->Delete();
    }
    EXPECT_EQ(t, "x");
}
