// Text-mode translation over large raw blocks. The scans go eight bytes at a time with plain
// integer operations: text has a CR every few dozen bytes, so a library call per line (memchr,
// memcpy) would cost more than the bytes, and the Windows run-time's memchr is a byte loop.
#include "framework/TextFileReader.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "framework/Exceptions.h"

namespace {
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kEndOfText = 0x1A;
constexpr size_t kSmallestBlock = 4096;

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t LoadWord(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word); // one unaligned load on x86
    return word;
}

inline void StoreWord(char* p, uint64_t word) { std::memcpy(p, &word, sizeof word); }

// High bit set in each byte of word that equals byte. Bytes above a match may be flagged
// falsely, so only the lowest flag is exact: callers take just that one.
inline uint64_t MatchBytes(uint64_t word, char byte) {
    uint64_t x = word ^ (kOnes * static_cast<unsigned char>(byte));
    return (x - kOnes) & ~x & kHighs;
}

// Index of the lowest flagged byte; the words are loaded little-endian (x86).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "word scans assume little-endian loads");
inline size_t FirstMatch(uint64_t mask) { return static_cast<size_t>(__builtin_ctzll(mask)) / 8; }

const char* FindByte(const char* p, const char* end, char byte) {
    while (end - p >= 8) {
        uint64_t mask = MatchBytes(LoadWord(p), byte);
        if (mask != 0) return p + FirstMatch(mask);
        p += 8;
    }
    for (; p < end; ++p) {
        if (*p == byte) return p;
    }
    return nullptr;
}
} // namespace

TextFileReader::TextFileReader(size_t blockSize) : blockSize_(blockSize < 2 ? 2 : blockSize) {}

bool TextFileReader::Open(const CText& path) {
    Close();
    if (!file_.Open(path)) return false;
    // A small file (a configuration file) needs no megabyte of buffer.
    size_t want = blockSize_;
    unsigned long long size = 0;
    if (file_.QuerySize(size) && size + 1 < want) {
        want = static_cast<size_t>(size) + 1;
        if (want < kSmallestBlock) want = kSmallestBlock < blockSize_ ? kSmallestBlock : blockSize_;
    }
    if (want < 2) want = 2;
    if (capacity_ < want) {
        block_.reset(new (std::nothrow) char[want]);
        if (!block_) {
            capacity_ = 0;
            file_.Close();
            ThrowMemoryException();
        }
        capacity_ = want;
    }
    pos_ = end_ = 0;
    finished_ = false;
    return true;
}

void TextFileReader::Close() noexcept {
    file_.Close();
    pos_ = end_ = 0;
    finished_ = true;
}

void TextFileReader::Fill() {
    if (finished_) return;
    size_t kept = end_ - pos_;
    if (kept > 0 && pos_ > 0) std::memmove(block_.get(), block_.get() + pos_, kept);
    pos_ = 0;
    end_ = kept;
    long long got = file_.Read(block_.get() + kept, capacity_ - kept);
    if (got <= 0) {
        // The end of the file and a read error both end the data here.
        finished_ = true;
        return;
    }
    char* fresh = block_.get() + kept;
    size_t count = static_cast<size_t>(got);
    // Ctrl-Z ends the data: nothing at or after it is ever delivered or read.
    if (const char* stop = FindByte(fresh, fresh + count, kEndOfText)) {
        count = static_cast<size_t>(stop - fresh);
        finished_ = true;
    }
    end_ = kept + count;
}

size_t TextFileReader::Read(char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        if (pos_ == end_) {
            if (finished_) break;
            Fill();
            continue;
        }
        const char* data = block_.get();
        // Bulk: while eight bytes can be read and written, copy word by word and stop at each CR.
        // A word is stored whole even when a CR cuts it; the bytes past the CR are rewritten next.
        {
            const char* src = data + pos_;
            const char* srcEnd = data + end_;
            char* dst = buffer + done;
            char* dstEnd = buffer + count;
            while (srcEnd - src >= 8 && dstEnd - dst >= 8) {
                uint64_t word = LoadWord(src);
                uint64_t mask = MatchBytes(word, kCarriageReturn);
                StoreWord(dst, word);
                if (mask == 0) {
                    src += 8;
                    dst += 8;
                    continue;
                }
                size_t plain = FirstMatch(mask);
                src += plain;
                dst += plain;
                // A CR as the last byte held waits for the next block (below) to tell what it is.
                if (src + 1 == srcEnd) break;
                if (src[1] == kLineFeed) {
                    ++src; // CR LF: the LF alone goes on with the next word
                } else {
                    *dst++ = kCarriageReturn;
                    ++src;
                }
            }
            pos_ = static_cast<size_t>(src - data);
            done = static_cast<size_t>(dst - buffer);
            if (done == count || pos_ == end_) continue;
        }
        size_t span = end_ - pos_;
        if (span > count - done) span = count - done;
        const char* found = FindByte(data + pos_, data + pos_ + span, kCarriageReturn);
        if (found == nullptr) {
            std::memcpy(buffer + done, data + pos_, span);
            done += span;
            pos_ += span;
            continue;
        }
        size_t at = static_cast<size_t>(found - data);
        size_t plain = at - pos_;
        std::memcpy(buffer + done, data + pos_, plain);
        done += plain;
        pos_ = at;
        if (at + 1 < end_) {
            // CR LF becomes the LF alone; any other CR stays.
            if (data[at + 1] == kLineFeed) ++pos_;
            buffer[done++] = data[pos_++];
            continue;
        }
        // The CR is the last raw byte we hold: only the next byte can tell what it is.
        if (!finished_) {
            Fill();
            if (end_ - pos_ > 1) continue;
        }
        buffer[done++] = kCarriageReturn;
        ++pos_;
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
        const char* found = FindByte(data + pos_, data + end_, kLineFeed);
        if (found != nullptr) {
            size_t at = static_cast<size_t>(found - data);
            // No LF lies before at, so the only CR that can pair with one is the byte before it.
            size_t length = at - pos_;
            if (length > 0 && data[at - 1] == kCarriageReturn) --length;
            line.Append(data + pos_, length);
            pos_ = at + 1;
            return true;
        }
        size_t length = end_ - pos_;
        if (data[end_ - 1] == kCarriageReturn && !finished_) {
            // Hold the CR back until the next block says whether an LF follows it.
            line.Append(data + pos_, length - 1);
            pos_ = end_ - 1;
            Fill();
            if (end_ - pos_ == 1 && finished_) {
                line.Append(kCarriageReturn);
                pos_ = end_;
                return true;
            }
            continue;
        }
        line.Append(data + pos_, length);
        pos_ = end_;
    }
}
