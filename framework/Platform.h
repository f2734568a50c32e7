// The few things the platform-free code needs from the operating system. Windows builds answer
// them with the Win32 API; the native build (tests, sanitizers, fuzzers) with plain C.
#pragma once

#include "framework/Text.h"

namespace platform {

// Upper-cases length bytes in place with the ANSI code page's rules (CharUpperBuffA on Windows;
// A to Z only in the native build).
void UpperCaseInPlace(char* data, size_t length);

// True when byte is the lead byte of a double-byte character in the ANSI code page.
bool IsLeadByte(unsigned char byte);

// UTF-16 text in the ANSI code page, appended to text: each character the code page lacks (and
// each unpaired surrogate) as one '?', never as a look-alike. In the native build only ASCII
// passes.
void AppendAnsiFromUtf16(CText& text, const char16_t* units, size_t count);

// The full path of the running executable; the empty text when the platform cannot tell.
CText ModuleFileName();

// True when the processor runs SSE2 instructions (a 32-bit Windows machine need not).
bool ProcessorHasSse2() noexcept;

} // namespace platform
