// Where the program's DLLs come from: the system folder, never the folder it was started from.
#pragma once

// How far the DLL search could be limited.
enum class DllSearch {
    systemFolderOnly,      // every later load by name searches the system folder alone
    currentFolderDropped,  // older systems: the current folder is left out, the program's own is not
    unchanged,             // neither limit is available or took effect
};

// Limits where later loads by name look for a DLL. Must run before the program's first call into
// a delay-loaded DLL (WSOCK32, WS2_32, COMCTL32). useDefaultDllDirectories false takes the way of systems
// that lack SetDefaultDllDirectories (a test build stages them, see StartupStaging.h).
DllSearch RestrictDllSearchToSystemFolder(bool useDefaultDllDirectories = true) noexcept;

// Where the search could not be confined to the system folder, loads the program's delay-loaded
// system DLLs by their full path in the system folder, so the delay-load helper's load by name
// finds them already loaded instead of searching the program's folder. False when one of them
// could not be loaded that way.
bool LoadDelayLoadedDllsFromSystemFolder() noexcept;
