// The text operations. Searches walk the text character by character so that a match never starts
// on the trail byte of a double-byte character; the replacements scan once instead of rebuilding
// and re-searching the whole text per occurrence, which on a long text would be quadratic.
#include "config/TextOperations.h"

#include "framework/Platform.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);

// Bytes taken by the character that starts at index: a lead byte takes the byte after it along,
// unless it is the last byte of the text.
size_t CharacterSize(const char* data, size_t length, size_t index) {
    return platform::IsLeadByte(static_cast<unsigned char>(data[index])) && index + 1 < length ? 2 : 1;
}

// First occurrence of pattern that starts on a character at or after from (itself taken as the
// start of a character), or kNotFound. An empty pattern is never found.
size_t FindFrom(const CText& text, const CText& pattern, size_t from) {
    const char* data = text.Data();
    size_t length = text.Length();
    size_t patternLength = pattern.Length();
    if (patternLength == 0 || patternLength > length) return kNotFound;
    for (size_t i = from; i <= length - patternLength; i += CharacterSize(data, length, i)) {
        if (std::memcmp(data + i, pattern.Data(), patternLength) == 0) return i;
    }
    return kNotFound;
}

CText UpperCased(CText text) {
    text.MakeUpper();
    return text;
}

// The form of a text that searches compare: upper-cased unless the search is case-sensitive.
CText SearchForm(const CText& text, int caseSensitive) {
    return caseSensitive != 0 ? text : UpperCased(text);
}

// Bounds a replacement that is not shorter than its pattern: such rewriting need not come to an
// end (the pattern can reappear across the seam), so after this many passes the rest is left as
// it stands.
constexpr size_t kMaxGrowingReplacements = 1u << 20;

} // namespace

bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int ContainsText(CText text, CText pattern, int caseSensitive) {
    return FindFrom(SearchForm(text, caseSensitive), SearchForm(pattern, caseSensitive), 0) != kNotFound ? 1 : 0;
}

int EqualsText(CText first, CText second, int caseSensitive) {
    return SearchForm(first, caseSensitive) == SearchForm(second, caseSensitive) ? 1 : 0;
}

CText TextBefore(CText text, CText separator) {
    size_t position = FindFrom(text, separator, 0);
    return position == kNotFound ? text : text.Left(position);
}

CText TextAfter(CText text, CText separator) {
    size_t position = FindFrom(text, separator, 0);
    return position == kNotFound ? CText() : text.Mid(position + separator.Length());
}

CText TextBetween(CText text, CText opening, CText closing) {
    return TextBefore(TextAfter(text, opening), closing);
}

CText TrimText(CText text) {
    const char* data = text.Data();
    size_t length = text.Length();
    size_t first = 0;
    while (first < length && IsWhiteSpace(data[first])) ++first;
    // Walk forward by characters: a trail byte that happens to equal a blank is not white space.
    size_t end = first;
    for (size_t i = first; i < length;) {
        size_t size = CharacterSize(data, length, i);
        if (size == 2 || !IsWhiteSpace(data[i])) end = i + size;
        i += size;
    }
    if (first == 0 && end == length) return text;
    return text.Mid(first, end - first);
}

CText ReverseText(CText text) {
    size_t length = text.Length();
    if (length < 2) return text;
    const char* data = text.Data();
    CText result;
    char* out = result.GetBuffer(length);
    for (size_t i = 0; i < length;) {
        size_t size = CharacterSize(data, length, i);
        std::memcpy(out + length - i - size, data + i, size);
        i += size;
    }
    result.ReleaseBuffer(length);
    return result;
}

CText RemovePrefix(CText text, CText prefix) {
    if (FindFrom(text, prefix, 0) != 0) return text;
    return text.Mid(prefix.Length());
}

CText RemoveSuffix(CText text, CText suffix) {
    // Through the reversed texts, so that the suffix is matched on the same character boundaries
    // as a prefix would be.
    return ReverseText(RemovePrefix(ReverseText(text), ReverseText(suffix)));
}

CText ReplaceRepeatedly(CText text, CText pattern, CText replacement, int caseSensitive) {
    if (pattern.IsEmpty() || ContainsText(replacement, pattern, caseSensitive)) return text;
    CText key = SearchForm(pattern, caseSensitive);
    CText textKey = SearchForm(text, caseSensitive);
    if (FindFrom(textKey, key, 0) == kNotFound) return text;
    CText replacementKey = SearchForm(replacement, caseSensitive);

    // The text is moved byte by byte onto an output that never holds an occurrence. When the
    // moved byte completes one, it is the leftmost occurrence of the whole current text (any
    // earlier one would already lie in the output); it is taken off and its replacement is put
    // back in front of the unread input, so that matches across the seam are found as a fresh
    // search from the start would find them. Searches compare the key forms; the output keeps the
    // original bytes beside them.
    size_t patternLength = key.Length();
    std::vector<char> out, outKey;
    std::vector<unsigned char> characterStart;
    std::vector<char> pending, pendingKey; // unread replacement bytes, next one last
    out.reserve(text.Length());
    outKey.reserve(text.Length());
    characterStart.reserve(text.Length());
    size_t next = 0;
    size_t replacements = 0;
    bool growing = replacement.Length() >= patternLength;
    for (;;) {
        char byte, keyByte;
        if (!pending.empty()) {
            byte = pending.back();
            keyByte = pendingKey.back();
            pending.pop_back();
            pendingKey.pop_back();
        } else if (next < text.Length()) {
            byte = text[next];
            keyByte = textKey[next];
            ++next;
        } else {
            break;
        }
        bool starts = out.empty() ||
                      !(characterStart.back() && platform::IsLeadByte(static_cast<unsigned char>(outKey.back())));
        out.push_back(byte);
        outKey.push_back(keyByte);
        characterStart.push_back(starts ? 1 : 0);

        if (growing && replacements >= kMaxGrowingReplacements) continue;
        size_t size = out.size();
        if (size < patternLength) continue;
        size_t at = size - patternLength;
        if (!characterStart[at] || std::memcmp(outKey.data() + at, key.Data(), patternLength) != 0) continue;
        out.resize(at);
        outKey.resize(at);
        characterStart.resize(at);
        for (size_t i = replacement.Length(); i > 0; --i) {
            pending.push_back(replacement[i - 1]);
            pendingKey.push_back(replacementKey[i - 1]);
        }
        ++replacements;
    }
    return CText(out.data(), out.size());
}

CText ReplaceAll(CText text, CText pattern, CText replacement, int caseSensitive) {
    CText key = SearchForm(pattern, caseSensitive);
    CText textKey = SearchForm(text, caseSensitive);
    size_t position = FindFrom(textKey, key, 0);
    if (position == kNotFound) return text;
    CText result;
    result.Reserve(text.Length());
    size_t from = 0;
    while (position != kNotFound) {
        result.Append(text.Data() + from, position - from);
        result.Append(replacement);
        from = position + key.Length();
        // The rest is searched as a text of its own, from its first byte.
        position = FindFrom(textKey, key, from);
    }
    result.Append(text.Data() + from, text.Length() - from);
    return result;
}
