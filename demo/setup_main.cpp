// The demo set-up program, KORVANTHELM\KORVANTHELM.exe inside the package. The
// bootstrapper unpacks it and starts it with "--setup" or "--update".
#include <windows.h>

#include <cstdlib>
#include <span>

#include "demo/run_demo_setup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // It runs from a freshly unpacked folder: DLLs that are not KnownDLLs come
    // from System32 only, never from beside the exe.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The C runtime has split the command line by the usual Windows rules.
    const int count = __argc > 0 ? __argc - 1 : 0;
    return korvanthelm::demo::RunDemoSetup(std::span<const wchar_t* const>(
        __wargv + (__argc > 0 ? 1 : 0), static_cast<std::size_t>(count)));
}
