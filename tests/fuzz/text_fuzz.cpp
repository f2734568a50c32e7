// Fuzzes the single-pass replacements against the plain definitions they stand for: replace the
// first occurrence and search again from the start; or replace each occurrence once, recursing
// on the rest. Input: a flag byte, the pattern length, the replacement length, the pattern, the
// replacement, then the text.
#include "config/TextOperations.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <string>

namespace {

size_t Find(const std::string& text, const std::string& pattern, bool caseSensitive) {
    if (pattern.empty()) return std::string::npos;
    return caseSensitive ? text.find(pattern) : UpperAscii(text).find(UpperAscii(pattern));
}

// False when the rewriting did not end within the step budget.
bool PlainReplaceRepeatedly(std::string text, const std::string& pattern, const std::string& replacement,
                            bool caseSensitive, std::string& result) {
    if (pattern.empty() || Find(replacement, pattern, caseSensitive) != std::string::npos) {
        result = text;
        return true;
    }
    for (int steps = 0; steps < 2000; ++steps) {
        size_t at = Find(text, pattern, caseSensitive);
        if (at == std::string::npos) {
            result = text;
            return true;
        }
        text = text.substr(0, at) + replacement + text.substr(at + pattern.size());
        if (text.size() > 4096) return false;
    }
    return false;
}

std::string PlainReplaceAll(const std::string& text, const std::string& pattern, const std::string& replacement,
                            bool caseSensitive) {
    size_t at = Find(text, pattern, caseSensitive);
    if (at == std::string::npos) return text;
    return text.substr(0, at) + replacement +
           PlainReplaceAll(text.substr(at + pattern.size()), pattern, replacement, caseSensitive);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    bool caseSensitive = (data[0] & 1) != 0;
    size_t patternLength = data[1] % 6;
    size_t replacementLength = data[2] % 8;
    if (size < 3 + patternLength + replacementLength) return 0;
    const char* bytes = reinterpret_cast<const char*>(data) + 3;
    std::string pattern(bytes, patternLength);
    std::string replacement(bytes + patternLength, replacementLength);
    std::string text(bytes + patternLength + replacementLength, size - 3 - patternLength - replacementLength);
    if (text.size() > 512) text.resize(512); // keeps the plain definitions fast

    int flag = caseSensitive ? 1 : 0;
    FUZZ_CHECK(ToString(ReplaceAll(ToText(text), ToText(pattern), ToText(replacement), flag)) ==
               PlainReplaceAll(text, pattern, replacement, caseSensitive));
    std::string expected;
    if (PlainReplaceRepeatedly(text, pattern, replacement, caseSensitive, expected)) {
        FUZZ_CHECK(ToString(ReplaceRepeatedly(ToText(text), ToText(pattern), ToText(replacement), flag)) == expected);
    }

    FUZZ_CHECK(ContainsText(ToText(text), ToText(pattern), flag) ==
               (Find(text, pattern, caseSensitive) != std::string::npos ? 1 : 0));
    size_t at = Find(text, pattern, true);
    FUZZ_CHECK(ToString(TextBefore(ToText(text), ToText(pattern))) == (at == std::string::npos ? text : text.substr(0, at)));
    FUZZ_CHECK(ToString(TextAfter(ToText(text), ToText(pattern))) ==
               (at == std::string::npos ? "" : text.substr(at + pattern.size())));
    FUZZ_CHECK(ToString(TrimText(ToText(text))) == Trimmed(text));
    FUZZ_CHECK(ToString(ReverseText(ReverseText(ToText(text)))) == text);
    bool ends = !pattern.empty() && text.size() >= pattern.size() &&
                text.compare(text.size() - pattern.size(), pattern.size(), pattern) == 0;
    FUZZ_CHECK(ToString(RemoveSuffix(ToText(text), ToText(pattern))) ==
               (ends ? text.substr(0, text.size() - pattern.size()) : text));
    return 0;
}
