// Paths as the program carries them. The text and path operations work on ANSI texts, and the
// system's ANSI calls put '?' for every character of a name that the ANSI code page lacks (a
// Greek folder or a Chinese file name on a Western system), so such a name would never open. On
// Windows names are therefore taken with the wide calls and carried as path texts: a character
// the code page has as its ANSI bytes, any other one (and '?' itself) as '?' and the four hex
// digits of its UTF-16 unit. No byte of that is a lead byte, white space, a backslash, a colon or
// a quote, so every text and path operation keeps it whole, and the file opens by its real name.
#pragma once

#include "framework/Text.h"

#if defined(_WIN32)
#include <cstddef>
#include <string>
#endif

namespace platform {

// The path as a message shows it: every character the ANSI code page lacks as one '?', as the
// system's ANSI calls show it. Elsewhere than on Windows, the path itself.
CText ShownPath(const CText& path);

#if defined(_WIN32)
// The path text of length UTF-16 units of name.
CText PathTextFromWide(const wchar_t* name, size_t length);

// The real name a path text stands for; false when it cannot be told. A '?' without four hex
// digits after it stays a '?' (no name Windows allows holds one), so a plain ANSI text is read as
// the ANSI calls would read it.
bool WideFromPathText(const CText& path, std::wstring& wide);

// The name to open for name, whose full path name is fullName: name itself while fullName is
// shorter than MAX_PATH, else fullName in the \\?\ form (\\?\UNC\ for a network path), which
// Windows opens however long it is. A name already in a \\?\ or \\.\ form stays as it is.
std::wstring ExtendedLengthName(const std::wstring& name, const std::wstring& fullName);

// ExtendedLengthName with the full path name from the system; name itself when it has none.
std::wstring OpenableName(const std::wstring& name);

// True when name stands for a device (CON, NUL, COM1 and the like, in any folder): its full path
// name is in the \\.\ form.
bool NamesDevice(const std::wstring& name);

// True when Windows without the long-path opt-in refuses to open name: not in a \\?\ form, and
// its full path name has MAX_PATH characters or more.
bool BeyondPlainPathLimit(const std::wstring& name);
#endif

} // namespace platform
