// Fuzzes the text reader and the payload loader with arbitrary file bodies, raw block sizes and
// read sizes, against a plain translation: CR LF becomes LF, the first Ctrl-Z ends the data,
// every other byte stays. Every input runs through each scan the processor has (byte by byte,
// and SSE2). Input: a block-size byte, a read-size seed byte, then the file's bytes.
#include "app/PayloadLoader.h"
#include "framework/TextFileReader.h"
#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string PlainTranslation(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1a') break;
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += raw[i];
    }
    return out;
}

std::vector<std::string> PlainLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

const std::string& ScratchFile() {
    static const std::string path = [] {
        // Memory-backed when there is such a directory: every input rewrites the file.
        const char* dir = std::getenv("TMPDIR");
        if (access("/dev/shm", W_OK) == 0) dir = "/dev/shm";
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/parvolet-loader-fuzz-" +
               std::to_string(getpid()) + ".txt";
    }();
    return path;
}

void CheckReading(const CText& path, const std::string& want, size_t block, uint32_t sizes) {
    // Reads of changing sizes: below a block they go through the reader's own block, from one
    // block up straight into the caller's buffer.
    TextFileReader reader(block);
    FUZZ_CHECK(reader.Open(path));
    std::string got;
    std::vector<char> buffer;
    for (;;) {
        sizes = sizes * 1103515245u + 12345u;
        size_t count = 1 + (sizes >> 16) % (3 * block);
        buffer.assign(count, '\x55');
        size_t n = reader.Read(buffer.data(), count);
        FUZZ_CHECK(n <= count);
        got.append(buffer.data(), n);
        if (n < count) break;
    }
    FUZZ_CHECK(reader.AtEnd());
    FUZZ_CHECK(got == want);

    FUZZ_CHECK(reader.Open(path));
    std::vector<std::string> lines;
    CText line;
    while (reader.ReadLine(line)) lines.push_back(ToString(line));
    FUZZ_CHECK(lines == PlainLines(want));

    CText payload("left over");
    unsigned long readError = 0;
    FUZZ_CHECK(LoadPayload(path, payload, readError, block) == PayloadLoad::loaded);
    FUZZ_CHECK(ToString(payload) == want);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Small blocks put every boundary case within reach; now and then the real size.
    size_t block = (data[0] & 0x80) != 0 ? TextFileReader::kBlockSize : 2 + data[0] % 64;
    uint32_t sizes = data[1] * 2654435761u + 1;
    std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);

    FILE* file = std::fopen(ScratchFile().c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(body.data(), 1, body.size(), file) == body.size());
    FUZZ_CHECK(std::fclose(file) == 0);
    std::string want = PlainTranslation(body);
    CText path(ScratchFile().c_str());

    // SSE2 is part of x86-64, where the fuzzer runs: a refusal would leave that scan untried
    // without a word.
    FUZZ_CHECK(BestTextScan() == TextScan::sse2);
    for (TextScan scan : {TextScan::plain, TextScan::sse2}) {
        FUZZ_CHECK(ForceTextScan(scan));
        CheckReading(path, want, block, sizes);
    }
    ForceTextScan(BestTextScan());

    // Removed at once: libFuzzer ends a timed run without running static destructors.
    std::remove(ScratchFile().c_str());
    return 0;
}
