// The platform seam on Windows: the ANSI code page's upper-casing and lead bytes, the
// executable's full path however long it is, and what the processor can run.
#include "framework/Platform.h"

#include "framework/PathText.h"

#include <windows.h>

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
    while (count > 0) {
        // The conversion counts in ints: go in parts, never splitting a surrogate pair.
        size_t part = count > 0x100000u ? 0x100000u : count;
        if (part < count && IS_HIGH_SURROGATE(wide[part - 1])) --part;
        // No best fit: a Greek omega must not become the Latin O of another host name. A code page
        // such as UTF-8 takes no flags, and has every character anyway.
        DWORD flags = WC_NO_BEST_FIT_CHARS;
        int length = WideCharToMultiByte(CP_ACP, flags, wide, static_cast<int>(part), nullptr, 0, nullptr, nullptr);
        if (length <= 0 && GetLastError() == ERROR_INVALID_FLAGS) {
            flags = 0;
            length = WideCharToMultiByte(CP_ACP, flags, wide, static_cast<int>(part), nullptr, 0, nullptr, nullptr);
        }
        if (length > 0) {
            size_t at = text.Length();
            char* out = text.GetBuffer(at + static_cast<size_t>(length));
            int written = WideCharToMultiByte(CP_ACP, flags, wide, static_cast<int>(part), out + at, length, nullptr,
                                              nullptr);
            text.ReleaseBuffer(at + static_cast<size_t>(written > 0 ? written : 0));
        }
        wide += part;
        count -= part;
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
