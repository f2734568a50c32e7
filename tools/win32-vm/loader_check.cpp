// Reads an executable the way the system does, through the loader and the version API, and
// prints what it found as key=value lines. The check guest runs it on the exe it is given, as an
// i686 program of its own, so the 32-bit loader itself does the reading.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

void PrintHex(const char* key, const void* data, size_t size) {
    std::printf("%s=", key);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) std::printf("%02x", bytes[i]);
    std::printf("\n");
}

std::string VersionText(DWORD high, DWORD low) {
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(high)),
                  static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
                  static_cast<unsigned long>(LOWORD(low)));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: loader_check.exe PATH\n");
        return 64;
    }
    const char* path = argv[1];

    DWORD kind = 0;
    std::printf("binary_type=%s\n", !GetBinaryTypeA(path, &kind) ? "unknown"
                                    : kind == SCS_32BIT_BINARY   ? "win32"
                                    : kind == SCS_64BIT_BINARY   ? "win64"
                                                                 : "other");

    HMODULE exe = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!exe) {
        std::printf("load_error=%lu\n", GetLastError());
        return 1;
    }
    std::vector<ULONG_PTR> names;
    EnumResourceNamesA(exe, RT_MANIFEST, &CollectName, reinterpret_cast<LONG_PTR>(&names));
    std::printf("manifest_names=");
    for (size_t i = 0; i < names.size(); ++i) {
        // Numbered names only; a named manifest shows as "name".
        if (IS_INTRESOURCE(names[i]))
            std::printf("%s%lu", i ? "," : "", static_cast<unsigned long>(names[i]));
        else
            std::printf("%sname", i ? "," : "");
    }
    std::printf("\n");
    if (HRSRC found = FindResourceA(exe, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST)) {
        const void* text = LockResource(LoadResource(exe, found));
        if (text) PrintHex("manifest_hex", text, SizeofResource(exe, found));
    }
    FreeLibrary(exe);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) {
        std::printf("version_error=%lu\n", GetLastError());
        return 1;
    }
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data())) {
        std::printf("version_error=%lu\n", GetLastError());
        return 1;
    }
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block.data(), "\\", &value, &length) && length == sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        std::printf("signature=%08lx\n", static_cast<unsigned long>(fixed->dwSignature));
        std::printf("file_version=%s\n", VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
        std::printf("product_version=%s\n",
                    VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
        std::printf("file_type=%lu\n", static_cast<unsigned long>(fixed->dwFileType));
    }
    if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
        const WORD* pair = static_cast<const WORD*>(value);
        std::printf("translation=%04x%04x\n", pair[0], pair[1]);
    }
    for (const char* key : {"FileVersion", "ProductVersion", "ProductName", "OriginalFilename"}) {
        std::string query = std::string("\\StringFileInfo\\040904B0\\") + key;
        if (VerQueryValueA(block.data(), query.c_str(), &value, &length))
            std::printf("%s=%s\n", key, static_cast<const char*>(value));
    }
    return 0;
}
