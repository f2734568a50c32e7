// Start-up's DLL search limit. Programs like this one are run from folders anyone can write to (a
// downloads folder, an installer's temporary folder); a DLL there that is named like a system DLL
// but is not a KnownDLL would otherwise be found before the real one and run inside the program.
#include "framework/DllSearch.h"

#include "framework/DelayLoad.h"

#include <windows.h>

#include <cstring>

namespace {
// Not declared for the oldest systems the program runs on: both are looked up at run time.
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryCall = BOOL(WINAPI*)(LPCSTR);

FARPROC Kernel32Function(const char* name) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    return kernel32 ? GetProcAddress(kernel32, name) : nullptr;
}
} // namespace

DllSearch RestrictDllSearchToSystemFolder(bool useDefaultDllDirectories) noexcept {
    // Windows 8 and later, and 7 and Vista with their loader update: the search for every later
    // load by name, the delay-load helper's included, covers the system folder only.
    auto setDefault = useDefaultDllDirectories
                          ? reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void (*)()>(
                                Kernel32Function("SetDefaultDllDirectories")))
                          : nullptr;
    if (setDefault && setDefault(kSearchSystem32)) return DllSearch::systemFolderOnly;
    // Older systems: an empty DLL directory at least takes the current folder out of the search.
    auto setDirectory = reinterpret_cast<SetDllDirectoryCall>(
        reinterpret_cast<void (*)()>(Kernel32Function("SetDllDirectoryA")));
    if (setDirectory && setDirectory("")) return DllSearch::currentFolderDropped;
    return DllSearch::unchanged;
}

bool LoadDelayLoadedDllsFromSystemFolder() noexcept {
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    bool allLoaded = true;
    for (const DelayLoadedDll& dll : kDelayLoadedDlls) {
        const char* name = dll.name;
        char path[MAX_PATH];
        if (length + 1 + std::strlen(name) >= MAX_PATH) return false;
        std::memcpy(path, folder, length);
        path[length] = '\\';
        std::strcpy(path + length + 1, name);
        // Kept loaded for the process's life: the helper's load by name then finds this module.
        // The altered search looks for the DLL's own imports in the system folder too, not in the
        // program's.
        if (LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) == nullptr) allLoaded = false;
    }
    return allLoaded;
}
