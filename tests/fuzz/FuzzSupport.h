// Small helpers shared by the fuzz targets: a check that aborts (so libFuzzer records the input)
// and std::string views of texts.
#pragma once

#include "framework/Text.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

inline std::string ToString(const CText& text) { return std::string(text.Data(), text.Length()); }
inline CText ToText(const std::string& text) { return CText(text.data(), text.size()); }

inline bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline std::string Trimmed(const std::string& s) {
    size_t first = 0, end = s.size();
    while (first < end && IsBlank(s[first])) ++first;
    while (end > first && IsBlank(s[end - 1])) --end;
    return s.substr(first, end - first);
}

inline std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}
