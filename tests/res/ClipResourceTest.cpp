// The animation clip as embedded: a whole RIFF file under type "AVI" whose headers promise what
// the animation control and players rely on, and which the animation control accepts.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "res/resource.h"
#include "tests/res/ResourceBytes.h"

namespace {

struct Span {
    size_t offset = 0;
    size_t size = 0;
    bool found = false;
};

// The contents of the first chunk in [begin, end) named `name`: a plain chunk by its code, a
// list by its type (the contents then start after the type).
Span FindChunk(const ResourceBytes& clip, size_t begin, size_t end, const std::string& name) {
    ByteCursor cursor(clip.data, end);
    cursor.Seek(begin);
    while (cursor.offset() + 8 <= end) {
        std::string code = cursor.FourCc();
        uint32_t size = cursor.U32();
        size_t contents = cursor.offset();
        if (contents + size > end) break;
        if (code == "LIST" && size >= 4) {
            std::string type = cursor.FourCc();
            if (type == name) return {contents + 4, size - 4, true};
        } else if (code == name) {
            return {contents, size, true};
        }
        cursor.Seek(contents + size + (size & 1));
    }
    return {};
}

class ClipResource : public ::testing::Test {
protected:
    void SetUp() override {
        clip_ = FindUsEnglishResource("AVI", MAKEINTRESOURCEA(IDR_CLIP));
        ASSERT_NE(clip_.data, nullptr) << "no US English clip " << IDR_CLIP;
        ASSERT_GT(clip_.size, 12u);
    }
    uint32_t Word(size_t offset) {
        ByteCursor cursor(clip_.data, clip_.size);
        cursor.Seek(offset);
        return cursor.U32();
    }
    ResourceBytes clip_;
};

TEST_F(ClipResource, IsOneWholeRiffFile) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(clip_.data), 4), "RIFF");
    EXPECT_EQ(Word(4) + 8, clip_.size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(clip_.data) + 8, 4), "AVI ");
}

TEST_F(ClipResource, HeadersDescribeTheLoop) {
    Span header = FindChunk(clip_, 12, clip_.size, "hdrl");
    ASSERT_TRUE(header.found);
    Span main = FindChunk(clip_, header.offset, header.offset + header.size, "avih");
    ASSERT_TRUE(main.found);
    ASSERT_EQ(main.size, 56u);
    EXPECT_EQ(Word(main.offset + 0), 66666u);          // microseconds a frame
    EXPECT_GE(Word(main.offset + 4), 153600u);         // maximum rate
    EXPECT_NE(Word(main.offset + 12) & 0x10, 0u);      // AVIF_HASINDEX
    EXPECT_EQ(Word(main.offset + 16), 180u);           // frames
    EXPECT_EQ(Word(main.offset + 24), 1u);             // streams
    EXPECT_GE(Word(main.offset + 28), 32768u);         // suggested buffer
    EXPECT_EQ(Word(main.offset + 32), 80u);
    EXPECT_EQ(Word(main.offset + 36), 80u);

    Span streamList = FindChunk(clip_, header.offset, header.offset + header.size, "strl");
    ASSERT_TRUE(streamList.found);
    size_t listEnd = streamList.offset + streamList.size;
    Span stream = FindChunk(clip_, streamList.offset, listEnd, "strh");
    ASSERT_TRUE(stream.found);
    ASSERT_GE(stream.size, 48u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(clip_.data) + stream.offset, 8), "vidsRLE ");
    EXPECT_EQ(Word(stream.offset + 20), 1u);           // scale
    EXPECT_EQ(Word(stream.offset + 24), 15u);          // rate
    EXPECT_EQ(Word(stream.offset + 32), 180u);         // length
    uint32_t streamBuffer = Word(stream.offset + 36);
    EXPECT_GE(streamBuffer, 6400u);
    EXPECT_EQ(Word(stream.offset + 40), 10000u);       // quality

    Span format = FindChunk(clip_, streamList.offset, listEnd, "strf");
    ASSERT_TRUE(format.found);
    ASSERT_EQ(format.size, 40u + 256u * 4u);
    const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(clip_.data + format.offset);
    EXPECT_EQ(info->biSize, 40u);
    EXPECT_EQ(info->biWidth, 80);
    EXPECT_EQ(info->biHeight, 80);
    EXPECT_EQ(info->biPlanes, 1);
    EXPECT_EQ(info->biBitCount, 8);
    EXPECT_EQ(info->biCompression, DWORD(BI_RLE8));
    EXPECT_EQ(info->biSizeImage, 12800u);
    EXPECT_TRUE(info->biClrUsed == 0 || info->biClrUsed == 256) << info->biClrUsed;

    // Every frame fits the buffer the stream header promises.
    Span frames = FindChunk(clip_, 12, clip_.size, "movi");
    ASSERT_TRUE(frames.found);
    unsigned count = 0;
    size_t largest = 0;
    for (size_t at = frames.offset; at + 8 <= frames.offset + frames.size;) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(clip_.data) + at, 4), "00dc") << at;
        uint32_t size = Word(at + 4);
        largest = std::max<size_t>(largest, size);
        ++count;
        at += 8 + size + (size & 1);
    }
    EXPECT_EQ(count, 180u);
    EXPECT_LE(largest, streamBuffer);
}

TEST(AnimationControl, OpensTheClipByNumber) {
    InitCommonControls();
    HWND control = CreateWindowExA(0, ANIMATE_CLASSA, "", WS_POPUP, 0, 0, 80, 80, nullptr, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(control, nullptr) << GetLastError();
    EXPECT_NE(SendMessageA(control, ACM_OPENA, 0, IDR_CLIP), 0);
    // A number nothing is stored under must fail, or the check above proves nothing.
    EXPECT_EQ(SendMessageA(control, ACM_OPENA, 0, 301), 0);
    DestroyWindow(control);
}

}  // namespace
