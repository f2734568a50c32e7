// Skipping the program's own name at the front of a command line, as the C run-time start-up
// does before it hands the rest to the program.
#include "framework/CommandLine.h"

#include "framework/Platform.h"

const char* SkipProgramName(const char* line) {
    if (line == nullptr) return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') {
            // In a double-byte code page the trail byte may equal '"'; it belongs to its lead.
            if (platform::IsLeadByte(*p) && p[1] != '\0') ++p;
            ++p;
        }
        if (*p == '"') ++p;
    } else {
        while (*p > ' ') ++p;
    }
    while (*p != '\0' && *p <= ' ') ++p;
    return reinterpret_cast<const char*>(p);
}

CText CommandLineArguments(const char* line) {
    if (line == nullptr) return CText();
    return CText(SkipProgramName(line));
}
