// Value operations over texts: search, comparison, cutting at a separator, trimming, reversing and
// replacement. Each works on its own copies, steps by characters of the ANSI code page (a lead byte
// and the byte after it are one character) and returns a new text or 1/0.
#pragma once

#include "framework/Text.h"

// An empty pattern, separator, prefix or suffix occurs nowhere: searches for it fail, cuts and
// removals leave the text as it is, and replacements change nothing.

// caseSensitive: non-zero compares bytes as they are; zero upper-cases both sides first.
int ContainsText(CText text, CText pattern, int caseSensitive);
int EqualsText(CText first, CText second, int caseSensitive);

// Cutting at the first occurrence (always case-sensitive). TextBefore gives the whole text and
// TextAfter the empty text when the separator does not occur.
CText TextBefore(CText text, CText separator);
CText TextAfter(CText text, CText separator);
CText TextBetween(CText text, CText opening, CText closing);

// White space: tab, line feed, vertical tab, form feed, carriage return and space.
bool IsWhiteSpace(char c);
CText TrimText(CText text);
CText ReverseText(CText text);

// At most one copy of the prefix or suffix is removed.
CText RemovePrefix(CText text, CText prefix);
CText RemoveSuffix(CText text, CText suffix);

// Replaces the first occurrence again and again, each time searching from the start, until none is
// left: a run of repeated patterns shrinks to nothing. A replacement that contains the pattern
// leaves the text unchanged.
CText ReplaceRepeatedly(CText text, CText pattern, CText replacement, int caseSensitive);

// Replaces each non-overlapping occurrence once, left to right; replacements are not searched again.
CText ReplaceAll(CText text, CText pattern, CText replacement, int caseSensitive);
