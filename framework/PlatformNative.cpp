// The platform seam for the native build: ASCII upper-casing, a single-byte code page, and the
// executable's path from /proc.
#include "framework/Platform.h"

#include <unistd.h>

#include <vector>

namespace platform {

void UpperCaseInPlace(char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] >= 'a' && data[i] <= 'z') data[i] = static_cast<char>(data[i] - 'a' + 'A');
    }
}

bool IsLeadByte(unsigned char) { return false; }

CText ModuleFileName() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return CText();
        if (static_cast<size_t>(n) < buffer.size()) return CText(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform
