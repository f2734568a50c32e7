// Reads a file as text: CR LF comes out as LF, a lone CR stays, the first Ctrl-Z (0x1A) ends the
// data, and so does a read error, which ReadError() tells from the end. Every other byte, NUL
// included, passes.
#pragma once

#include "framework/ReadOnlyFile.h"
#include "framework/Text.h"

#include <cstddef>
#include <memory>

// How translation looks for CR and Ctrl-Z: byte by byte, or sixteen bytes at a time with SSE2,
// which a 32-bit Windows processor need not have. Both deliver the very same bytes.
enum class TextScan {
    plain = 0, // also what a reader gets before static initialisation has chosen
    sse2,
};

// The fastest scan this processor runs.
TextScan BestTextScan() noexcept;
// The scan every reader uses from now on: BestTextScan() unless a test has forced another.
TextScan ActiveTextScan() noexcept;
// Makes every reader use scan (tests and fuzzers check each path). False, and nothing changes,
// when this processor or build cannot run it. ForceTextScan(BestTextScan()) undoes a forcing.
bool ForceTextScan(TextScan scan) noexcept;

class TextFileReader {
public:
    // Raw reads are this large (less for a smaller file) so that translation runs over big blocks.
    static constexpr size_t kBlockSize = 1u << 20;

    TextFileReader() = default;
    TextFileReader(const TextFileReader&) = delete;
    TextFileReader& operator=(const TextFileReader&) = delete;

    // Test hook: a smaller raw block makes block boundaries easy to hit; at least 2.
    explicit TextFileReader(size_t blockSize);

    // With utf16 true, a file that begins with a UTF-16 byte-order mark (LE or BE, as Windows
    // PowerShell 5.1 and Notepad's "Unicode" save write) is read as its text in the ANSI code page,
    // every other file as its bytes; translation then applies to either alike. Such a file is held
    // in memory whole, so it is for small files (a configuration file).
    bool Open(const CText& path, bool utf16 = false);
    void Close() noexcept;
    // Why the last Open failed; see ReadOnlyFile::OpenError.
    unsigned long OpenError() const noexcept { return file_.OpenError(); }
    bool IsOpen() const noexcept { return file_.IsOpen(); }

    // The raw size of the open file; the translated data is never longer.
    bool QuerySize(unsigned long long& size) const { return file_.QuerySize(size); }

    // Translated bytes into buffer; fewer than count only at the end of the data. When count is at
    // least one block, raw bytes are read straight into buffer and translated there, so any byte
    // of buffer may be overwritten, also past the ones delivered.
    size_t Read(char* buffer, size_t count);

    // True when no translated byte is left.
    bool AtEnd();

    // The system's code of the read error that ended the data early; 0 when the data ended at
    // the end of the file or a Ctrl-Z, or has not ended.
    unsigned long ReadError() const noexcept { return file_.ReadError(); }

    // The next line without its LF, however long, NULs kept; false at the end of the data.
    // A last line without an LF still counts as a line.
    bool ReadLine(CText& line);

private:
    // After a UTF-16 byte-order mark: the rest of the file, read whole, converted and translated
    // into the block, which then holds all of the data.
    void LoadUtf16(bool bigEndian);

    // Makes block_ hold at least want bytes; a larger block replaces it without its bytes. Out of
    // memory closes the file before the exception, so no half-made reader stays open.
    void Reserve(size_t want);

    // Reads and translates the next raw block; called only once every held byte is taken.
    void Fill();

    // Reads raw bytes into data and translates them there; returns the bytes delivered. A CR that
    // ends the raw bytes is held back, since only the next read tells whether an LF follows it;
    // the next call puts it first in its data.
    size_t ReadAndTranslate(char* data, size_t room);

    ReadOnlyFile file_;
    size_t blockSize_ = kBlockSize;
    std::unique_ptr<char[]> block_;
    size_t capacity_ = 0;  // size of block_
    size_t pos_ = 0;       // next translated byte of block_ to deliver
    size_t end_ = 0;       // end of the translated bytes in block_
    bool heldCr_ = false;  // a CR ended the last raw bytes and is not delivered yet
    bool finished_ = true; // no more raw bytes will come (end, error or Ctrl-Z)
};
