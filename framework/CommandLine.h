// The arguments part of a process command line: what follows the program's own name and the
// blanks after it, exactly as typed (quotes kept).
#pragma once

#include "framework/Text.h"

// Points into line just past the program's name and the control characters and blanks (0x01 to
// 0x20) after it. A name in double quotes runs to the next quote (the second byte of a
// double-byte character is never taken for one); otherwise it ends at the first byte <= 0x20.
const char* SkipProgramName(const char* line);

// The same as a text; a null line gives the empty text.
CText CommandLineArguments(const char* line);
