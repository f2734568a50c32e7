// The platform seam on Windows: the ANSI code page's upper-casing and lead bytes, the
// executable's full path however long it is, and what the processor can run.
#include "framework/Platform.h"

#include "framework/PathText.h"

#include <windows.h>

#include <string>
#include <vector>

namespace platform {

void UpperCaseInPlace(char* data, size_t length) {
    // CharUpperBuffA takes a DWORD count; texts here are far below that, but stay exact anyway.
    while (length > 0) {
        DWORD part = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        CharUpperBuffA(data, part);
        data += part;
        length -= part;
    }
}

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

void AppendAnsiFromUtf16(CText& text, const char16_t* units, size_t count) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units are wchar_t on Windows");
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(units);
    // A character beyond 16 bits is one character: one '?', as the name's own messages show it,
    // where the conversion would put one for each half. A code page that has every character
    // (UTF-8) takes it as it is.
    const bool everyCharacter = GetACP() == CP_UTF8;
    std::wstring part;
    size_t i = 0;
    while (i < count) {
        // The conversion counts in ints: go in parts.
        part.clear();
        while (i < count && part.size() < 0x100000u) {
            wchar_t unit = wide[i++];
            if (!everyCharacter && IS_SURROGATE_PAIR(unit, i < count ? wide[i] : 0)) {
                ++i;
                unit = L'?';
            } else if (!everyCharacter && (IS_HIGH_SURROGATE(unit) || IS_LOW_SURROGATE(unit))) {
                unit = L'?';
            } else if (everyCharacter && IS_HIGH_SURROGATE(unit) && i < count) {
                part += unit;
                unit = wide[i++]; // never split between parts
            }
            part += unit;
        }
        // No best fit: a Greek omega must not become the Latin O of another host name. A code page
        // such as UTF-8 takes no flags.
        const int units = static_cast<int>(part.size());
        DWORD flags = WC_NO_BEST_FIT_CHARS;
        int length = WideCharToMultiByte(CP_ACP, flags, part.data(), units, nullptr, 0, nullptr, nullptr);
        if (length <= 0 && GetLastError() == ERROR_INVALID_FLAGS) {
            flags = 0;
            length = WideCharToMultiByte(CP_ACP, flags, part.data(), units, nullptr, 0, nullptr, nullptr);
        }
        if (length <= 0) continue;
        size_t at = text.Length();
        char* out = text.GetBuffer(at + static_cast<size_t>(length));
        int written = WideCharToMultiByte(CP_ACP, flags, part.data(), units, out + at, length, nullptr, nullptr);
        text.ReleaseBuffer(at + static_cast<size_t>(written > 0 ? written : 0));
    }
}

CText ModuleFileName() {
    // A fixed 260-character buffer would cut a longer path and the configuration would be looked
    // for in a truncated directory: grow until the whole name fits. Wide, so that a folder whose
    // name the ANSI code page cannot spell is still found (see PathText.h).
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return CText();
        // A cut name fills the buffer; no Windows path is longer than 32767 characters.
        if (n < buffer.size() || buffer.size() > 32768) return PathTextFromWide(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

bool ProcessorHasSse2() noexcept {
    return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
}

} // namespace platform
