// Text-mode translation, done in place over each raw block: a caller with room for a whole block
// gets the raw bytes read straight into its own buffer, so a large file is copied only once.
// One scan, sixteen bytes at a time, finds both the CR and the Ctrl-Z. Only that scan's functions
// are compiled for SSE2, and they run only where the processor has it: the program must also run
// on the older 32-bit processors, which stop at the first SSE2 instruction.
#include "framework/TextFileReader.h"

#include <cstring>
#include <new>

#if defined(__i386__) || defined(__x86_64__)
#define PARVOLET_SSE2_SCAN 1
#include <emmintrin.h>
#endif

#include "framework/Exceptions.h"
#include "framework/Platform.h"

namespace {
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kEndOfText = 0x1A;
constexpr size_t kSmallestBlock = 4096;

// Moves the bytes from src down to dst (dst <= src: translation only ever shortens) until src
// reaches a CR, a Ctrl-Z or end, and leaves both pointers there.
inline void MovePlainBytes(const char*& src, const char* end, char*& dst) {
    while (src < end && *src != kCarriageReturn && *src != kEndOfText) *dst++ = *src++;
}

// The two steps of the translation loop, one byte at a time.
struct PlainScan {
    static void MoveCrLfRuns(const char*&, const char*, char*&) {}
    static void MovePlainRun(const char*& src, const char* end, char*& dst) { MovePlainBytes(src, end, dst); }
};

#if defined(PARVOLET_SSE2_SCAN)
// The same two steps, sixteen bytes at a time.
struct Sse2Scan {
    // As MovePlainBytes.
    __attribute__((target("sse2"))) static void MovePlainRun(const char*& src, const char* end, char*& dst) {
        const __m128i carriageReturns = _mm_set1_epi8(kCarriageReturn);
        const __m128i endsOfText = _mm_set1_epi8(kEndOfText);
        while (end - src >= 16) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(bytes, carriageReturns), _mm_cmpeq_epi8(bytes, endsOfText))));
            size_t gap = static_cast<size_t>(src - dst);
            if (mask == 0) {
                // The sixteen bytes are all taken, so the store may cover any of them.
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
                src += 16;
                dst += 16;
                continue;
            }
            size_t plain = static_cast<size_t>(__builtin_ctz(mask));
            // A whole store is safe when it rewrites the bytes in their own place or ends below
            // src; otherwise it would overwrite bytes at and after the CR that are still to be read.
            if (gap == 0 || gap >= 16) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
            } else {
                std::memmove(dst, src, plain);
            }
            src += plain;
            dst += plain;
            return;
        }
        MovePlainBytes(src, end, dst);
    }

    // The common case of text, sixteen raw bytes at a time with no branch on where the line ends:
    // while those bytes hold at most one CR LF and no other CR or Ctrl-Z, one store writes them
    // and a second, overlapping one moves everything after the CR down over it. The stores reach
    // up to 32 bytes past dst, so this runs only once the translated end is 16 bytes behind the
    // raw position (every raw byte they cover has been read), and only while 33 raw bytes can be
    // read.
    __attribute__((target("sse2"))) static void MoveCrLfRuns(const char*& src, const char* end, char*& dst) {
        const __m128i carriageReturns = _mm_set1_epi8(kCarriageReturn);
        const __m128i lineFeeds = _mm_set1_epi8(kLineFeed);
        const __m128i endsOfText = _mm_set1_epi8(kEndOfText);
        while (end - src >= 33 && src - dst >= 16) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 1));
            __m128i isCr = _mm_cmpeq_epi8(bytes, carriageReturns);
            __m128i crLf = _mm_and_si128(isCr, _mm_cmpeq_epi8(next, lineFeeds));
            __m128i other = _mm_or_si128(_mm_andnot_si128(crLf, isCr), _mm_cmpeq_epi8(bytes, endsOfText));
            unsigned pairs = static_cast<unsigned>(_mm_movemask_epi8(crLf));
            unsigned others = static_cast<unsigned>(_mm_movemask_epi8(other));
            if ((others | (pairs & (pairs - 1))) != 0) return; // for the byte-exact path
            // Where the CR is, or 16 with none; then the second store only repeats bytes that the
            // next step rewrites.
            unsigned at = static_cast<unsigned>(__builtin_ctz(pairs | 0x10000u));
            __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at + 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), after);
            src += 16;
            dst += pairs != 0 ? 15 : 16;
        }
    }
};
#endif

struct Translation {
    size_t length;  // translated bytes, from the start of the data
    bool endOfText; // a Ctrl-Z was met: nothing after it counts
    bool heldCr;    // the data ended in a CR whose next byte is not known yet
};

// The translation loop, the same for both scans.
template <typename Scan>
inline Translation TranslateWith(char* data, size_t length) {
    const char* src = data;
    const char* const end = data + length;
    char* dst = data;
    Translation result{0, false, false};
    for (;;) {
        Scan::MoveCrLfRuns(src, end, dst);
        Scan::MovePlainRun(src, end, dst);
        if (src == end) break;
        if (*src == kEndOfText) {
            result.endOfText = true;
            break;
        }
        if (src + 1 == end) {
            result.heldCr = true;
            break;
        }
        // CR LF becomes the LF alone, which the next run moves; any other CR stays.
        if (src[1] != kLineFeed) *dst++ = kCarriageReturn;
        ++src;
    }
    result.length = static_cast<size_t>(dst - data);
    return result;
}

Translation TranslatePlain(char* data, size_t length) { return TranslateWith<PlainScan>(data, length); }

#if defined(PARVOLET_SSE2_SCAN)
// Flattened: the scan's steps are inlined here, where SSE2 is allowed, and nowhere else.
__attribute__((target("sse2"), flatten)) Translation TranslateSse2(char* data, size_t length) {
    return TranslateWith<Sse2Scan>(data, length);
}
#endif

TextScan DetectBestScan() noexcept {
#if defined(PARVOLET_SSE2_SCAN)
    if (platform::ProcessorHasSse2()) return TextScan::sse2;
#endif
    return TextScan::plain;
}

// Chosen during static initialisation rather than in a function-local static, whose guard this
// run-time is better without (see WinThread.cpp). Both read as plain before that, which is
// correct everywhere.
const TextScan bestScan = DetectBestScan();
TextScan activeScan = bestScan;

Translation TranslateInPlace(char* data, size_t length) {
#if defined(PARVOLET_SSE2_SCAN)
    if (activeScan == TextScan::sse2) return TranslateSse2(data, length);
#endif
    return TranslatePlain(data, length);
}
} // namespace

TextScan BestTextScan() noexcept { return bestScan; }

TextScan ActiveTextScan() noexcept { return activeScan; }

bool ForceTextScan(TextScan scan) noexcept {
    if (scan == TextScan::sse2 && bestScan != TextScan::sse2) return false;
    activeScan = scan;
    return true;
}

TextFileReader::TextFileReader(size_t blockSize) : blockSize_(blockSize < 2 ? 2 : blockSize) {}

bool TextFileReader::Open(const CText& path, bool utf16) {
    Close();
    if (!file_.Open(path)) return false;
    if (utf16) {
        unsigned char mark[2] = {0, 0};
        long long got = file_.Read(mark, sizeof mark);
        if (got == 2 && ((mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF))) {
            LoadUtf16(mark[0] == 0xFE);
            return true;
        }
        // Any other file is read from its first byte, as without the option. A refused rewind
        // (or a failed read) ends the data at once, with its error.
        if (got < 0 || !file_.Rewind()) {
            pos_ = end_ = 0;
            heldCr_ = false;
            finished_ = true;
            return true;
        }
    }
    // A small file (a configuration file) needs no megabyte of buffer.
    size_t want = blockSize_;
    unsigned long long size = 0;
    if (file_.QuerySize(size) && size + 1 < want) {
        want = static_cast<size_t>(size) + 1;
        if (want < kSmallestBlock) want = kSmallestBlock < blockSize_ ? kSmallestBlock : blockSize_;
    }
    if (want < 2) want = 2; // room for a held CR and one fresh byte
    Reserve(want);
    pos_ = end_ = 0;
    heldCr_ = false;
    finished_ = false;
    return true;
}

void TextFileReader::Reserve(size_t want) {
    if (capacity_ >= want) return;
    block_.reset(new (std::nothrow) char[want]);
    if (!block_) {
        capacity_ = 0;
        file_.Close();
        ThrowMemoryException();
    }
    capacity_ = want;
}

void TextFileReader::LoadUtf16(bool bigEndian) {
    // The raw units: read to the end, however much the file grows meanwhile.
    std::unique_ptr<unsigned char[]> raw;
    size_t rawLength = 0;
    size_t rawCapacity = 0;
    unsigned long long size = 0;
    if (!file_.QuerySize(size) || size < 2) size = 2;
    for (;;) {
        if (rawLength == rawCapacity) {
            unsigned long long wanted = rawCapacity == 0 ? size : rawCapacity * 2ull;
            if (wanted < 4096) wanted = 4096;
            if (wanted > CText::MaxLength() / 2) ThrowMemoryException();
            std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[static_cast<size_t>(wanted)]);
            if (!grown) ThrowMemoryException();
            if (rawLength > 0) std::memcpy(grown.get(), raw.get(), rawLength);
            raw = std::move(grown);
            rawCapacity = static_cast<size_t>(wanted);
        }
        long long got = file_.Read(raw.get() + rawLength, rawCapacity - rawLength);
        if (got <= 0) break; // the end, or a read error that the file keeps
        rawLength += static_cast<size_t>(got);
    }
    // A last odd byte is half a unit and no character.
    const size_t count = rawLength / 2;
    std::unique_ptr<char16_t[]> units(new (std::nothrow) char16_t[count > 0 ? count : 1]);
    if (!units) ThrowMemoryException();
    for (size_t i = 0; i < count; ++i) {
        unsigned first = raw[2 * i], second = raw[2 * i + 1];
        units[i] = static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
    }
    raw.reset();
    CText text;
    platform::AppendAnsiFromUtf16(text, units.get(), count);
    units.reset();

    // From here the bytes are what a file in the code page would have held: the same translation.
    const size_t want = text.Length() + 2;
    Reserve(want);
    std::memcpy(block_.get(), text.Data(), text.Length());
    Translation translation = TranslateInPlace(block_.get(), text.Length());
    end_ = translation.length;
    if (translation.heldCr) block_[end_++] = kCarriageReturn; // nothing follows it: a lone CR
    pos_ = 0;
    heldCr_ = false;
    finished_ = true;
}

void TextFileReader::Close() noexcept {
    file_.Close();
    pos_ = end_ = 0;
    heldCr_ = false;
    finished_ = true;
}

size_t TextFileReader::ReadAndTranslate(char* data, size_t room) {
    size_t held = heldCr_ ? 1 : 0;
    if (held != 0) data[0] = kCarriageReturn; // translated with the bytes after it
    size_t want = room - held;
    if (want > blockSize_) want = blockSize_;
    long long got = file_.Read(data + held, want);
    heldCr_ = false;
    if (got <= 0) {
        // The end of the file and a read error both end the data here (the file keeps the error);
        // a held CR is a lone one.
        finished_ = true;
        return held;
    }
    Translation translation = TranslateInPlace(data, held + static_cast<size_t>(got));
    // Ctrl-Z ends the data: nothing at or after it is ever delivered or read.
    if (translation.endOfText) finished_ = true;
    heldCr_ = translation.heldCr;
    return translation.length;
}

void TextFileReader::Fill() {
    if (finished_) return;
    pos_ = 0;
    end_ = ReadAndTranslate(block_.get(), capacity_);
}

size_t TextFileReader::Read(char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        if (pos_ < end_) {
            size_t span = end_ - pos_;
            if (span > count - done) span = count - done;
            std::memcpy(buffer + done, block_.get() + pos_, span);
            done += span;
            pos_ += span;
            continue;
        }
        if (finished_) break;
        // Only the last, smaller part of a large read goes through the block.
        if (count - done >= blockSize_) {
            done += ReadAndTranslate(buffer + done, count - done);
        } else {
            Fill();
        }
    }
    return done;
}

bool TextFileReader::AtEnd() {
    while (pos_ == end_ && !finished_) Fill();
    return pos_ == end_;
}

bool TextFileReader::ReadLine(CText& line) {
    line.Clear();
    if (AtEnd()) return false;
    for (;;) {
        if (pos_ == end_) {
            if (finished_) return true; // a last line without LF
            Fill();
            continue;
        }
        const char* data = block_.get();
        // The block is translated already: a CR before an LF is gone, a lone CR is line text.
        const void* found = std::memchr(data + pos_, kLineFeed, end_ - pos_);
        if (found != nullptr) {
            size_t at = static_cast<size_t>(static_cast<const char*>(found) - data);
            line.Append(data + pos_, at - pos_);
            pos_ = at + 1;
            return true;
        }
        line.Append(data + pos_, end_ - pos_);
        pos_ = end_;
    }
}
