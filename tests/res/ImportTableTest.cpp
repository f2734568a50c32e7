// The DLLs the shipped executable names in its import and delay-import directories. The loader
// resolves a normal import before WinMain, searching the program's own folder first for any DLL
// that is not a KnownDLL; only KnownDLLs may be imported that way. WSOCK32, WS2_32, COMCTL32,
// SECUR32 and CRYPT32 are not, so they must be delay-loaded (after start-up has limited the search
// to the system folder).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/res/ResourceBytes.h"

namespace {

// DLLs that every Windows the program supports lists under KnownDLLs: loaded from the system
// folder only, whatever lies beside the program.
const std::set<std::string> kKnownDlls = {"KERNEL32.DLL", "USER32.DLL",   "GDI32.DLL",    "MSVCRT.DLL",
                                          "ADVAPI32.DLL", "SHELL32.DLL",  "OLE32.DLL",    "OLEAUT32.DLL",
                                          "COMDLG32.DLL"};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

std::vector<unsigned char> ReadWholeFile(const char* path) {
    std::vector<unsigned char> bytes;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (64 << 20)) {
        bytes.resize(size_t(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr) || read != bytes.size()) bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

// The 32-bit image as a file: RVAs are found through its section table, and every read is bounded.
class ShippedImage {
public:
    explicit ShippedImage(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {
        ByteCursor cursor(bytes_.data(), bytes_.size());
        if (cursor.U16() != 0x5A4D) return;  // "MZ"
        cursor.Seek(0x3C);
        const uint32_t pe = cursor.U32();
        cursor.Seek(pe);
        if (cursor.U32() != 0x00004550) return;  // "PE\0\0"
        cursor.U16();                              // machine
        const uint16_t sectionCount = cursor.U16();
        cursor.Seek(pe + 20);
        const uint16_t optionalSize = cursor.U16();
        const size_t optional = pe + 24;
        cursor.Seek(optional);
        if (cursor.U16() != 0x10B) return;  // PE32: the shipped program is the 32-bit one
        cursor.Seek(optional + 28);
        imageBase_ = cursor.U32();
        cursor.Seek(optional + 92);
        const uint32_t directoryCount = cursor.U32();
        for (uint32_t i = 0; i < directoryCount && i < 16; ++i) {
            const uint32_t rva = cursor.U32();
            const uint32_t size = cursor.U32();
            directories_.push_back({rva, size});
        }
        cursor.Seek(optional + optionalSize);
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const size_t at = cursor.offset();
            cursor.Seek(at + 8);
            Section section;
            section.virtualSize = cursor.U32();
            section.rva = cursor.U32();
            section.rawSize = cursor.U32();
            section.rawOffset = cursor.U32();
            sections_.push_back(section);
            cursor.Seek(at + 40);
        }
        valid_ = !cursor.overrun();
    }

    bool valid() const { return valid_; }

    // The directory entry's RVA, or 0 when the image has none.
    uint32_t DirectoryRva(size_t entry) const { return entry < directories_.size() ? directories_[entry].rva : 0; }

    // A cursor at the RVA, running to the end of its section's file data; an unmapped RVA gives an
    // empty cursor, whose reads overrun.
    ByteCursor At(uint32_t rva) const {
        for (const Section& s : sections_) {
            const uint32_t length = std::min(s.virtualSize, s.rawSize);
            if (rva >= s.rva && rva < s.rva + length && size_t(s.rawOffset) + length <= bytes_.size())
                return ByteCursor(bytes_.data() + s.rawOffset + (rva - s.rva), length - (rva - s.rva));
        }
        return ByteCursor(bytes_.data(), 0);
    }

    // Whether the RVA lies in a section's file data.
    bool Mapped(uint32_t rva) const {
        ByteCursor cursor = At(rva);
        cursor.Read(1);
        return !cursor.overrun();
    }

    std::string Name(uint32_t rva) const {
        ByteCursor cursor = At(rva);
        std::string name;
        for (uint32_t c = cursor.Read(1); c != 0 && !cursor.overrun() && name.size() < 260; c = cursor.Read(1))
            name += char(c);
        return name;
    }

    // DLL names of the normal import directory (entry 1): 20-byte descriptors up to a zero one.
    std::vector<std::string> NormalImports() const { return Names(IMAGE_DIRECTORY_ENTRY_IMPORT, 20, 12); }
    // DLL names of the delay-import directory (entry 13): 32-byte descriptors, by RVA, up to a zero one.
    std::vector<std::string> DelayImports() const { return Names(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT, 32, 4); }

    // The number of functions the DLL's delay descriptor names, or 0 when it is missing, does
    // not hold RVAs, or has an address slot that does not start out at a stub in the image. Until
    // the first call binds it, each slot must lead into the delay-load helper: a slot of 0 would
    // send the first call to address 0.
    int DelayImportedFunctions(const std::string& dll) const {
        ByteCursor cursor = At(DirectoryRva(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT));
        for (int i = 0; i < 64; ++i) {
            const uint32_t attributes = cursor.U32();
            const uint32_t name = cursor.U32();
            cursor.U32();  // module handle
            const uint32_t slots = cursor.U32();
            const uint32_t names = cursor.U32();
            cursor.Seek(cursor.offset() + 12);
            if (cursor.overrun() || name == 0) return 0;
            if (Upper(Name(name)) != dll) continue;
            if (attributes != 1) return 0;
            ByteCursor nameCursor = At(names);
            ByteCursor slotCursor = At(slots);
            int count = 0;
            for (uint32_t entry = nameCursor.U32(); entry != 0 && !nameCursor.overrun(); entry = nameCursor.U32()) {
                const uint32_t stub = slotCursor.U32();
                if (slotCursor.overrun() || stub <= imageBase_ || !Mapped(stub - imageBase_)) return 0;
                ++count;
            }
            return count;
        }
        return 0;
    }

private:
    struct Directory {
        uint32_t rva, size;
    };
    struct Section {
        uint32_t virtualSize, rva, rawSize, rawOffset;
    };

    std::vector<std::string> Names(size_t entry, size_t descriptorSize, size_t nameOffset) const {
        std::vector<std::string> names;
        const uint32_t rva = DirectoryRva(entry);
        if (rva == 0) return names;
        ByteCursor cursor = At(rva);
        for (int i = 0; i < 64; ++i) {
            const size_t at = cursor.offset();
            bool empty = true;
            for (size_t b = 0; b < descriptorSize; ++b)
                if (cursor.Read(1) != 0) empty = false;
            if (cursor.overrun() || empty) break;
            cursor.Seek(at + nameOffset);
            names.push_back(Upper(Name(cursor.U32())));
            cursor.Seek(at + descriptorSize);
        }
        return names;
    }

    std::vector<unsigned char> bytes_;
    uint32_t imageBase_ = 0;
    std::vector<Directory> directories_;
    std::vector<Section> sections_;
    bool valid_ = false;
};

const ShippedImage& Shipped() {
    static const ShippedImage image(ReadWholeFile(ShippedExePath()));
    return image;
}

std::string Listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

TEST(ShippedImports, NormalImportsNameOnlyKnownDlls) {
    ASSERT_TRUE(Shipped().valid()) << "cannot read " << ShippedExePath() << " as a 32-bit image";
    const std::vector<std::string> imports = Shipped().NormalImports();
    EXPECT_EQ(1, std::count(imports.begin(), imports.end(), "KERNEL32.DLL")) << Listed(imports);
    for (const std::string& dll : imports)
        EXPECT_TRUE(kKnownDlls.count(dll)) << dll << " is imported normally but is not a KnownDLL: the loader "
                                           << "would look for it beside the program first (imports: "
                                           << Listed(imports) << ")";
}

TEST(ShippedImports, WinsockCommonControlsAndTheTlsDllsAreDelayLoaded) {
    ASSERT_TRUE(Shipped().valid()) << "cannot read " << ShippedExePath() << " as a 32-bit image";
    const std::vector<std::string> delayed = Shipped().DelayImports();
    for (const char* dll : {"WSOCK32.DLL", "WS2_32.DLL", "COMCTL32.DLL", "SECUR32.DLL", "CRYPT32.DLL"}) {
        EXPECT_EQ(1, std::count(delayed.begin(), delayed.end(), dll)) << "delay imports: " << Listed(delayed);
        EXPECT_GT(Shipped().DelayImportedFunctions(dll), 0) << dll << ": no function, or one whose address slot "
                                                            << "does not lead to the delay-load helper";
    }
}

} // namespace
