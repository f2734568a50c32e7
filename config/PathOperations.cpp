// The path operations, written with the text operations so that a backslash byte that is the
// second byte of a double-byte character is never taken for a separator.
#include "config/PathOperations.h"

#include "config/TextOperations.h"
#include "framework/Platform.h"

namespace {
const CText kSeparator("\\");
const CText kDoubleSeparator("\\\\");
const CText kColon(":");
const CText kRootedColon(":\\");
} // namespace

CText GetModulePath() {
    // The platform grows its buffer until the whole name fits: a name cut at 259 characters would
    // send the configuration search into a directory that is not the executable's.
    return platform::ModuleFileName();
}

CText GetDirectoryPart(CText path) {
    return ReverseText(TextAfter(ReverseText(path), kSeparator));
}

CText GetModuleDirectory() { return GetDirectoryPart(GetModulePath()); }

CText JoinPath(CText directory, CText name) {
    // Emptiness is judged before trimming: a blank directory still contributes its separator.
    CText path = directory.IsEmpty() ? TrimText(name) : TrimText(directory) + kSeparator + TrimText(name);
    NormalizePath(path);
    return path;
}

void NormalizePath(CText& path) {
    // Leading blanks count for nothing when telling a network path, so the restored second
    // backslash goes where the trimmed path begins, not in front of the blanks.
    size_t blanks = 0;
    while (blanks < path.Length() && IsWhiteSpace(path[blanks])) ++blanks;
    bool network = path.Length() >= blanks + 2 && path[blanks] == '\\' && path[blanks + 1] == '\\';

    path = ReplaceRepeatedly(path, kDoubleSeparator, kSeparator, 1);
    if (network) path = path.Left(blanks) + kSeparator + path.Mid(blanks);
    path = RemoveSuffix(path, kSeparator);
    if (ContainsText(path, kColon, 1) && !ContainsText(path, kRootedColon, 1)) {
        path = ReplaceAll(path, kColon, kRootedColon, 1);
    }
}
