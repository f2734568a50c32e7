// The platform seam for the native build: ASCII upper-casing, a single-byte code page, the
// executable's path from /proc, names shown as they are, and what the processor can run.
#include "framework/Platform.h"

#include "framework/PathText.h"

#include <unistd.h>

#include <vector>

namespace platform {

void UpperCaseInPlace(char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] >= 'a' && data[i] <= 'z') data[i] = static_cast<char>(data[i] - 'a' + 'A');
    }
}

bool IsLeadByte(unsigned char) { return false; }

void AppendAnsiFromUtf16(CText& text, const char16_t* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        char16_t unit = units[i];
        if (unit < 0x80) {
            text.Append(static_cast<char>(unit));
            continue;
        }
        // A pair of surrogates is one character.
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) ++i;
        text.Append('?');
    }
}

CText ModuleFileName() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return CText();
        if (static_cast<size_t>(n) < buffer.size()) return CText(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

// Names are bytes here, shown as they are.
CText ShownPath(const CText& path) { return path; }

bool ProcessorHasSse2() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_cpu_init(); // may be asked before the run-time's own constructors have run
    return __builtin_cpu_supports("sse2") != 0;
#else
    return false;
#endif
}

} // namespace platform
