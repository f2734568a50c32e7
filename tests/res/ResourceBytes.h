// Reads the resources of the executable we ship as bytes, and walks them as little-endian records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

struct ResourceBytes {
    const unsigned char* data = nullptr;
    DWORD size = 0;
};

// The 32-bit parvolet.exe as the build made it (PARVOLET_SHIPPED_EXE_PATH, a host path), whatever
// the width of this test program: the loader maps a module of either width as a data file, so the
// bytes users get are checked on hosts that cannot run 32-bit code too. Null when it cannot be
// mapped; the tests then fail on the missing resource.
inline HMODULE ShippedModule() {
    static const HMODULE module = LoadLibraryExA("Z:" PARVOLET_SHIPPED_EXE_PATH, nullptr,
                                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return module;
}

inline const char* ShippedExePath() { return "Z:" PARVOLET_SHIPPED_EXE_PATH; }

// The resource in US English in the shipped executable, or an empty record when it has none.
inline ResourceBytes FindUsEnglishResource(LPCSTR type, LPCSTR name) {
    ResourceBytes bytes;
    HMODULE module = ShippedModule();
    if (!module) return bytes;
    HRSRC found = FindResourceExA(module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!found) return bytes;
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded) return bytes;
    bytes.data = static_cast<const unsigned char*>(LockResource(loaded));
    bytes.size = bytes.data ? SizeofResource(module, found) : 0;
    return bytes;
}

// A bounds-checked cursor: reading past the end sets overrun and yields zeros, so a malformed
// resource fails the comparisons instead of crashing the test.
class ByteCursor {
public:
    ByteCursor(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    size_t offset() const { return offset_; }
    bool overrun() const { return overrun_; }
    void Seek(size_t offset) { offset_ = offset; }
    void AlignTo(size_t unit) { offset_ = (offset_ + unit - 1) / unit * unit; }

    uint32_t Read(size_t width) {
        if (offset_ + width > size_) {
            overrun_ = true;
            offset_ = size_;
            return 0;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= uint32_t(data_[offset_ + i]) << (8 * i);
        offset_ += width;
        return value;
    }
    uint16_t U16() { return uint16_t(Read(2)); }
    uint32_t U32() { return Read(4); }
    int16_t S16() { return int16_t(Read(2)); }

    std::string FourCc() {
        std::string code;
        for (int i = 0; i < 4; ++i) code += char(Read(1));
        return code;
    }

    // A NUL-terminated UTF-16 string of ASCII characters (template texts and class names).
    std::string Utf16() {
        std::string text;
        for (uint16_t c = U16(); c != 0 && !overrun_; c = U16()) text += c < 0x80 ? char(c) : '?';
        return text;
    }

private:
    const unsigned char* data_;
    size_t size_;
    size_t offset_ = 0;
    bool overrun_ = false;
};
