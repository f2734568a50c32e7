// Text-mode translation over large raw blocks: memchr finds the few bytes that need care and
// everything between them moves as one block copy.
#include "framework/TextFileReader.h"

#include <cstring>
#include <new>

#include "framework/Exceptions.h"

namespace {
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kEndOfText = 0x1A;
constexpr size_t kSmallestBlock = 4096;
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
    if (const void* stop = std::memchr(fresh, kEndOfText, count)) {
        count = static_cast<size_t>(static_cast<const char*>(stop) - fresh);
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
        size_t span = end_ - pos_;
        if (span > count - done) span = count - done;
        const void* found = std::memchr(data + pos_, kCarriageReturn, span);
        if (found == nullptr) {
            std::memcpy(buffer + done, data + pos_, span);
            done += span;
            pos_ += span;
            continue;
        }
        size_t at = static_cast<size_t>(static_cast<const char*>(found) - data);
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
        const void* found = std::memchr(data + pos_, kLineFeed, end_ - pos_);
        if (found != nullptr) {
            size_t at = static_cast<size_t>(static_cast<const char*>(found) - data);
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
