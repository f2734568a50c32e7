// The application manifest as the loader finds it in parvolet.exe itself, not in the source: a
// second manifest added by the link, or one that never made it into the executable, is caught.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCSTR, LPCSTR, WORD, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(EmbeddedManifest, OneManifestAskingForNoElevationClassicControlsAndDpiScaling) {
    HMODULE exe = LoadLibraryExA("Z:" PARVOLET_SHIPPED_EXE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr) << GetLastError();

    // Exactly one manifest, under the number the loader reads for a process, in one language.
    std::vector<ULONG_PTR> names;
    EnumResourceNamesA(exe, RT_MANIFEST, &CollectName, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_EQ(names, std::vector<ULONG_PTR>{reinterpret_cast<ULONG_PTR>(CREATEPROCESS_MANIFEST_RESOURCE_ID)});
    int languages = 0;
    EnumResourceLanguagesA(exe, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID,
                           &CountLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, 1);
    HRSRC found = FindResourceA(exe, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    ASSERT_NE(found, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(exe, found))),
                           SizeofResource(exe, found));

    EXPECT_EQ(Occurrences(text, "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"), 1u);
    EXPECT_EQ(Occurrences(text, "<requestedExecutionLevel "), 1u);
    EXPECT_EQ(Occurrences(text, "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), 1u);
    // Vista, 7, 8, 8.1, 10 and 11.
    EXPECT_EQ(Occurrences(text, "<supportedOS "), 5u);
    for (const char* id : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_EQ(Occurrences(text, std::string("<supportedOS Id=\"") + id + "\"/>"), 1u) << id;
    EXPECT_EQ(Occurrences(text, "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"), 1u);
    EXPECT_EQ(Occurrences(text, "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">system</dpiAwareness>"), 1u);
    // Paths of MAX_PATH and more, where the system allows them.
    EXPECT_EQ(Occurrences(text, "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>"), 1u);
    // Classic controls: no dependency on any side-by-side assembly, common controls 6 least.
    EXPECT_EQ(Occurrences(text, "<dependency"), 0u);
    EXPECT_EQ(Occurrences(text, "Common-Controls"), 0u);
    FreeLibrary(exe);
}

} // namespace
