// The long-transfer status line: percent rounding, size units at their borders, and the filling of
// the resource's placeholders (including broken ones a translator might leave).
#include "transfer/ProgressText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const CText& text) { return std::string(text.Data(), text.Length()); }

TEST(ProgressText, PercentRoundsDownAndIsClampedAtBothEnds) {
    const uint64_t tib = uint64_t(1) << 40;
    struct Row {
        uint64_t done, total;
        unsigned percent;
    } const rows[] = {
        {0, 0, 0},       {5, 0, 0},        {0, 3, 0},          {1, 3, 33},
        {2, 3, 66},      {3, 3, 100},      {4, 3, 100},        {99, 100, 99},
        {999, 1000, 99}, {tib - 1, tib, 99}, {tib / 2, tib, 50},
    };
    for (const Row& row : rows)
        EXPECT_EQ(progress_text::PercentOf(row.done, row.total), row.percent)
            << row.done << " of " << row.total;
}

TEST(ProgressText, SizeUsesBytesThenOneDecimalOfTheLargestFittingUnit) {
    const uint64_t kib = 1024, mib = kib * 1024, gib = mib * 1024;
    struct Row {
        uint64_t bytes;
        const char* text;
    } const rows[] = {
        {0, "0 bytes"},
        {1, "1 byte"},
        {1023, "1023 bytes"},
        {1024, "1.0 KB"},
        {1075, "1.0 KB"},          // 1.0498: rounds down
        {1126, "1.1 KB"},          // 1.0996: rounds up
        {1536, "1.5 KB"},
        {mib - 1, "1.0 MB"},       // 1023.999 KB would print as 1024.0 KB
        {mib - 52, "1023.9 KB"},
        {10 * mib, "10.0 MB"},
        {gib - 1, "1.0 GB"},
        {3 * gib + gib / 4, "3.3 GB"}, // 3.25 rounds half up
        {kib * gib, "1.0 TB"},
        {5000 * kib * gib, "5000.0 TB"},   // no unit above TB
        {UINT64_MAX, "16777216.0 TB"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Str(progress_text::FormatSize(row.bytes)), row.text) << row.bytes;
}

TEST(ProgressText, FillReplacesEveryPlaceholderAndCopiesTheRest) {
    struct Row {
        const char* format;
        const char* text;
    } const rows[] = {
        {"Transferring Information: {percent}% of {size}", "Transferring Information: 42% of 1.5 KB"},
        {"{size}/{size} {percent}{percent}", "1.5 KB/1.5 KB 4242"},
        {"", ""},
        {"no placeholders", "no placeholders"},
        {"{percent", "{percent"},
        {"{Percent} {siz}", "{Percent} {siz}"},
        {"{{percent}}", "{42}"},
        {"50%", "50%"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Str(progress_text::FillProgressFormat(row.format, 42, 1536)), row.text) << row.format;
}

TEST(ProgressText, FillCopiesEmbeddedNulsAndStopsAtTheTextsEnd) {
    const char withNul[] = "a\0{percent}";
    const CText format(withNul, sizeof withNul - 1);
    EXPECT_EQ(Str(progress_text::FillProgressFormat(format, 7, 0)), std::string("a\0" "7", 3));
    // A placeholder cut off by the end of the text is not completed from what lies beyond it.
    const CText cut("{size}", 5);
    EXPECT_EQ(Str(progress_text::FillProgressFormat(cut, 7, 0)), "{size");
}

} // namespace
