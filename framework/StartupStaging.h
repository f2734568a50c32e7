// Conditions a test build of the program stages at start-up because Wine cannot show them. The
// shipped program links framework/NoStartupStaging.cpp (parvolet_no_startup_staging), which
// stages nothing; the test build links tests/e2e/StartupStaging.cpp instead, which reads them
// from its environment. Only WinMain asks, so no other program needs either definition.
#pragma once

struct StartupStaging {
    // As on Vista and 7 without the loader update: SetDefaultDllDirectories is not there.
    bool withoutDefaultDllDirectories = false;
};

// Called first thing in WinMain, on the main thread. The test build may also set up the
// process itself (a window that cannot be made), before any DLL search or window.
StartupStaging StageStartupConditions() noexcept;
