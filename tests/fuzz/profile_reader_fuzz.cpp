// Fuzzes the configuration reader with arbitrary file bodies: NULs, Ctrl-Z, CR LF, lone CRs and
// very long lines. Input: the section name, an LF, the key, an LF, then the file's bytes. The
// reader must never fault, and its answer must agree with a plain model of the file format.
#include "config/ProfileReader.h"
#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The model: text-mode translation, LF-separated lines cut at their first NUL, then the section
// and key rules spelled out with std::string.
std::vector<std::string> ModelLines(const std::string& body) {
    std::string text;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\x1a') break;
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
        text += body[i];
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        lines.push_back(line.substr(0, line.find('\0')));
        start = end + 1;
    }
    return lines;
}

std::string ModelSection(const std::string& line) {
    std::string s = line.substr(0, line.find(';'));
    size_t open = s.find('[');
    if (open == std::string::npos) return "";
    s = s.substr(open + 1);
    return Trimmed(s.substr(0, s.find(']')));
}

bool ModelKeyLine(const std::string& line, std::string& key, std::string& value) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    key = Trimmed(line.substr(0, equals));
    value = Trimmed(line.substr(equals + 1));
    return true;
}

// A body that begins with a UTF-16 byte-order mark holds its text as 16-bit units; the native
// build keeps ASCII of it and puts one '?' for every other character.
std::string ModelText(const std::string& body) {
    if (body.size() < 2) return body;
    const unsigned char first = static_cast<unsigned char>(body[0]), second = static_cast<unsigned char>(body[1]);
    const bool little = first == 0xFF && second == 0xFE, big = first == 0xFE && second == 0xFF;
    if (!little && !big) return body;
    std::vector<unsigned> units;
    for (size_t i = 2; i + 1 < body.size(); i += 2) {
        unsigned a = static_cast<unsigned char>(body[i]), b = static_cast<unsigned char>(body[i + 1]);
        units.push_back(big ? (a << 8) | b : (b << 8) | a);
    }
    std::string text;
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i] < 0x80) {
            text += static_cast<char>(units[i]);
            continue;
        }
        if (units[i] >= 0xD800 && units[i] < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000)
            ++i;
        text += '?';
    }
    return text;
}

std::string ModelValue(const std::string& raw, std::string section, std::string key) {
    const std::string body = ModelText(raw);
    section = UpperAscii(Trimmed(section));
    key = UpperAscii(Trimmed(key));
    if (key.empty()) return "";
    std::vector<std::string> lines = ModelLines(body);
    size_t i = 0;
    if (!section.empty()) {
        while (i < lines.size() && UpperAscii(ModelSection(lines[i])) != section) ++i;
        if (i == lines.size()) return "";
        ++i;
    }
    for (; i < lines.size(); ++i) {
        if (!section.empty() && !ModelSection(lines[i]).empty()) return "";
        std::string lineKey, value;
        if (ModelKeyLine(lines[i], lineKey, value) && UpperAscii(lineKey) == key) return value;
    }
    return "";
}

const std::string& ScratchFile() {
    static const std::string path = [] {
        // Memory-backed when there is such a directory: on a disk the rewrite of the file for
        // every input makes the run several times slower.
        const char* dir = std::getenv("TMPDIR");
        if (access("/dev/shm", W_OK) == 0) dir = "/dev/shm";
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/parvolet-fuzz-" +
               std::to_string(getpid()) + ".ini";
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t first = input.find('\n');
    size_t second = first == std::string::npos ? std::string::npos : input.find('\n', first + 1);
    if (second == std::string::npos) return 0;
    std::string section = input.substr(0, first);
    std::string key = input.substr(first + 1, second - first - 1);
    std::string body = input.substr(second + 1);

    FILE* file = std::fopen(ScratchFile().c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(body.data(), 1, body.size(), file) == body.size());
    FUZZ_CHECK(std::fclose(file) == 0);

    std::string value = ToString(ReadProfileValue(ScratchFile().c_str(), ToText(section), ToText(key)));
    // Removed at once: libFuzzer ends a timed run without running static destructors.
    std::remove(ScratchFile().c_str());
    FUZZ_CHECK(value.find('\n') == std::string::npos);
    FUZZ_CHECK(value.find('\0') == std::string::npos);
    FUZZ_CHECK(value.find('\x1a') == std::string::npos);
    FUZZ_CHECK(value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back())));
    FUZZ_CHECK(value == ModelValue(body, section, key));

    // The line parsers on the raw body as one line, NULs and all.
    CText line = ToText(body);
    std::string name = ToString(SectionNameOf(line));
    FUZZ_CHECK(name.find(';') == std::string::npos && name.find(']') == std::string::npos);
    FUZZ_CHECK(name == Trimmed(name));
    FUZZ_CHECK(IsSectionHeader(line) == (name.empty() ? 0 : 1));
    FUZZ_CHECK(ToString(KeyNameOf(line)).find('=') == std::string::npos);
    std::string modelKey, modelValue;
    bool keyLine = ModelKeyLine(body, modelKey, modelValue);
    FUZZ_CHECK(ToString(KeyNameOf(line)) == (keyLine ? modelKey : ""));
    FUZZ_CHECK(ToString(ValueOf(line)) == (keyLine ? modelValue : ""));
    return 0;
}
