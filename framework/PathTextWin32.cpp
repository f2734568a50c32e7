// Path texts on Windows: wide names in and out of the ANSI texts the program works with.
#include "framework/PathText.h"

#include <windows.h>

namespace platform {

namespace {

constexpr char kMark = '?';
constexpr size_t kDigits = 4;
const char kHexDigits[] = "0123456789ABCDEF";

// The ANSI bytes of one character (units 1, or 2 for a surrogate pair) when they turn back into
// exactly that character; 0 otherwise. The round trip also refuses the look-alikes that the
// conversion substitutes by default (an O for an omega would name another file).
int AnsiBytesOf(const wchar_t* character, int units, char* bytes, int room) {
    int length = WideCharToMultiByte(CP_ACP, 0, character, units, bytes, room, nullptr, nullptr);
    if (length <= 0) return 0;
    wchar_t back[4];
    int backUnits = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, length, back, 4);
    if (backUnits != units || std::char_traits<wchar_t>::compare(back, character, units) != 0) return 0;
    return length;
}

void AppendMarked(CText& text, wchar_t unit) {
    char marked[kDigits + 1] = {kMark};
    for (size_t i = 0; i < kDigits; ++i) marked[kDigits - i] = kHexDigits[(unit >> (4 * i)) & 0xF];
    text.Append(marked, sizeof marked);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The unit marked at data[0] ('?' and four hex digits), or -1 when data holds no mark there.
long MarkedUnit(const char* data, size_t length) {
    if (length < 1 + kDigits || data[0] != kMark) return -1;
    long unit = 0;
    for (size_t i = 1; i <= kDigits; ++i) {
        int digit = HexValue(data[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

bool AppendAnsi(std::wstring& wide, const char* data, size_t length) {
    if (length == 0) return true;
    if (length > 0x7FFFFFFF) return false;
    int units = MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(length), nullptr, 0);
    if (units <= 0) return false;
    size_t at = wide.size();
    wide.resize(at + static_cast<size_t>(units));
    return MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(length), &wide[at], units) == units;
}

// Calls onRun for each stretch of plain ANSI bytes (perhaps empty) and onUnit for each marked
// unit, in order; stops at the first false. '?' (0x3F) is never the trail byte of a double-byte
// character, so a byte-wise search for the marks cannot cut one.
template <typename OnRun, typename OnUnit>
bool WalkPathText(const CText& path, OnRun onRun, OnUnit onUnit) {
    const char* data = path.Data();
    size_t length = path.Length();
    size_t run = 0;
    for (size_t i = 0; i < length;) {
        long unit = MarkedUnit(data + i, length - i);
        if (unit < 0) {
            ++i;
            continue;
        }
        if (!onRun(data + run, i - run) || !onUnit(static_cast<wchar_t>(unit))) return false;
        i += 1 + kDigits;
        run = i;
    }
    return onRun(data + run, length - run);
}

} // namespace

CText PathTextFromWide(const wchar_t* name, size_t length) {
    CText text;
    for (size_t i = 0; i < length;) {
        // A surrogate pair is one character: the code page has both halves or neither.
        int units = IS_HIGH_SURROGATE(name[i]) && i + 1 < length && IS_LOW_SURROGATE(name[i + 1]) ? 2 : 1;
        char bytes[8];
        int ansi = name[i] == L'?' ? 0 : AnsiBytesOf(name + i, units, bytes, sizeof bytes);
        if (ansi > 0) {
            text.Append(bytes, static_cast<size_t>(ansi));
        } else {
            for (int k = 0; k < units; ++k) AppendMarked(text, name[i + k]);
        }
        i += static_cast<size_t>(units);
    }
    return text;
}

bool WideFromPathText(const CText& path, std::wstring& wide) {
    wide.clear();
    return WalkPathText(
        path, [&wide](const char* bytes, size_t count) { return AppendAnsi(wide, bytes, count); },
        [&wide](wchar_t unit) {
            wide += unit;
            return true;
        });
}

namespace {
bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

// The full path name of name (relative names, "." and "..", '/' and trailing dots resolved);
// false when the system cannot make one.
bool FullPathName(const std::wstring& name, std::wstring& full) {
    DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    for (int attempt = 0; attempt < 4 && size > 0; ++attempt) {
        full.assign(size, L'\0');
        DWORD length = GetFullPathNameW(name.c_str(), size, &full[0], nullptr);
        if (length == 0) break;
        if (length < size) {
            full.resize(length);
            return true;
        }
        size = length; // the current directory changed in between: try with the new size
    }
    full.clear();
    return false;
}
} // namespace

std::wstring ExtendedLengthName(const std::wstring& name, const std::wstring& fullName) {
    if (StartsWith(name, L"\\\\?\\") || StartsWith(name, L"\\\\.\\")) return name;
    if (fullName.size() < MAX_PATH) return name;
    // The \\?\ form is taken as it stands, without the resolving that plain names get; only a
    // full path name, already resolved, may go into it.
    if (fullName.size() >= 3 && fullName[1] == L':' && fullName[2] == L'\\') return L"\\\\?\\" + fullName;
    if (StartsWith(fullName, L"\\\\") && !StartsWith(fullName, L"\\\\?\\") && !StartsWith(fullName, L"\\\\.\\"))
        return L"\\\\?\\UNC" + fullName.substr(1);
    return name;
}

std::wstring OpenableName(const std::wstring& name) {
    std::wstring full;
    if (!FullPathName(name, full)) return name;
    return ExtendedLengthName(name, full);
}

bool NamesDevice(const std::wstring& name) {
    std::wstring full;
    return StartsWith(name, L"\\\\.\\") || (FullPathName(name, full) && StartsWith(full, L"\\\\.\\"));
}

bool BeyondPlainPathLimit(const std::wstring& name) {
    if (StartsWith(name, L"\\\\?\\")) return false;
    std::wstring full;
    return name.size() >= MAX_PATH || (FullPathName(name, full) && full.size() >= MAX_PATH);
}

CText ShownPath(const CText& path) {
    CText shown;
    bool afterHighHalf = false;
    WalkPathText(
        path,
        [&](const char* bytes, size_t count) {
            shown.Append(bytes, count);
            if (count > 0) afterHighHalf = false;
            return true;
        },
        [&](wchar_t unit) {
            // A character beyond the 16-bit range is marked as its two halves, but shown as one.
            if (!(afterHighHalf && IS_LOW_SURROGATE(unit))) shown.Append(kMark);
            afterHighHalf = IS_HIGH_SURROGATE(unit);
            return true;
        });
    return shown;
}

} // namespace platform
