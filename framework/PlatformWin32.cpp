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
