// The demo launcher, installed by the demo set-up program and started by the
// bootstrapper's fast path. It records that it ran, with its command line and
// working folder (both are fixed by how the bootstrapper starts it), and ends.
#include <windows.h>

#include <exception>
#include <string>

#include "demo/demo_log.h"
#include "demo/process_context.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    try {
        const std::wstring line = L"launcher: started args=" + std::wstring(GetCommandLineW()) +
                                  L" cwd=" + korvanthelm::demo::WorkingDirectory();
        // Nobody waits for this process; the code only tells a person
        // looking at it whether the record was written.
        return korvanthelm::demo::AppendDemoLog(line) ? 0 : 1;
    } catch (const std::exception&) {
        return 1;
    }
}
