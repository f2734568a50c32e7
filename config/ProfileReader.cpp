// The configuration reader: a line scan over the text-mode file, first for the section header,
// then for the key until the next header.
#include "config/ProfileReader.h"

#include "config/TextOperations.h"
#include "framework/Exceptions.h"
#include "framework/TextFileReader.h"

#include <cstring>

namespace {

const CText kComment(";");
const CText kOpening("[");
const CText kClosing("]");
const CText kAssignment("=");

// The next line of the file, whole however long it is; a NUL ends its text.
bool ReadConfigurationLine(TextFileReader& file, CText& line) {
    if (!file.ReadLine(line)) return false;
    const void* nul = std::memchr(line.Data(), '\0', line.Length());
    if (nul != nullptr) line.Truncate(static_cast<size_t>(static_cast<const char*>(nul) - line.Data()));
    return true;
}

} // namespace

CText SectionNameOf(CText line) {
    CText uncommented = ContainsText(line, kComment, 1) ? TextBefore(line, kComment) : line;
    return TrimText(TextBetween(uncommented, kOpening, kClosing));
}

int IsSectionHeader(CText line) { return SectionNameOf(line).IsEmpty() ? 0 : 1; }

CText KeyNameOf(CText line) {
    return ContainsText(line, kAssignment, 1) ? TrimText(TextBefore(line, kAssignment)) : CText();
}

CText ValueOf(CText line) {
    return ContainsText(line, kAssignment, 1) ? TrimText(TextAfter(line, kAssignment)) : CText();
}

namespace {

CText FindProfileValue(const CText& path, CText section, CText key) {
    section = TrimText(section);
    key = TrimText(key);
    if (key.IsEmpty()) return CText();

    TextFileReader file;
    // A file saved as UTF-16 (PowerShell, Notepad) holds the same lines as one in the code page.
    if (!file.Open(path, true)) return CText();

    CText line;
    bool inSection = section.IsEmpty();
    while (!inSection && ReadConfigurationLine(file, line)) {
        inSection = EqualsText(SectionNameOf(line), section, 0) != 0;
    }
    if (!inSection) return CText();

    // Only the first section of the name is searched: the next header ends it, even one that
    // repeats the name. The header test comes first, so a line like Port=[8080] ends it too.
    while (ReadConfigurationLine(file, line)) {
        if (!section.IsEmpty() && IsSectionHeader(line)) break;
        if (EqualsText(KeyNameOf(line), key, 0)) return ValueOf(line);
    }
    return CText();
}

} // namespace

CText ReadProfileValue(CText path, CText section, CText key) {
    // Lines are read whole, so a file with one enormous line can exhaust memory; that is reported
    // like any other value that cannot be had, as the empty text, rather than as an exception
    // start-up does not expect from here.
    try {
        return FindProfileValue(path, section, key);
    } catch (CException* e) {
        e->Delete();
        return CText();
    }
}

unsigned long CheckProfileFile(CText path) {
    TextFileReader file;
    try {
        if (file.Open(path, false)) return 0;
    } catch (CException* e) {
        e->Delete(); // opened, but no memory for its buffer: the reads will tell
        return 0;
    }
    return file.OpenError();
}
