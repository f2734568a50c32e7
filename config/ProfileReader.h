// Reads one value from a sectioned key=value configuration file. The file is opened afresh for
// every value, only read, and never created; anything not found gives the empty text.
#pragma once

#include "framework/Text.h"

// The value of the first line whose key matches in the first section of that name (both compared
// without regard to letter case); with an empty section, the first matching line anywhere.
CText ReadProfileValue(CText path, CText section, CText key);

// Why the file cannot be read, as the system's code; 0 when it opens or names no file at all (a
// missing file reads as a file without values). A file held by another program counts as one
// that cannot be read once the wait for it is over.
unsigned long CheckProfileFile(CText path);

// The trimmed text between the first "[" and the next "]" of the line without its ";" comment;
// the name runs to the end when no "]" follows.
CText SectionNameOf(CText line);
int IsSectionHeader(CText line);

// The trimmed text before and after the first "=" of a key line; the empty text for any other
// line. ";" means nothing here and quotation marks stay.
CText KeyNameOf(CText line);
CText ValueOf(CText line);
