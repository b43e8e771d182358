// The bootstrapper's entry: one run, one message box on failure, exit 0 or 1.
#include <windows.h>

#include "bootstrap/run_sequence.h"
#include "platform/failure_message.h"
#include "platform/work_directory.h"

namespace {

// One removal pass, then the message: while the box is on screen the work
// directory is already gone as far as one pass could remove it.
int ReportFailure(const std::wstring& work_directory, const wchar_t* text) noexcept {
    if (!work_directory.empty()) {
        korvanthelm::RemoveDirectoryTree(work_directory);
    }
    MessageBoxW(/*owner=*/nullptr, text, korvanthelm::kCaption, MB_OK | MB_ICONERROR);
    return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything can load a DLL: never from the folder this exe was
    // started from (typically Downloads), only from System32.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    std::wstring work_directory;
    try {
        korvanthelm::RunBootstrapper(work_directory);
        return 0;
    } catch (const korvanthelm::FailureMessage& message) {
        return ReportFailure(work_directory, message.c_str());
    } catch (...) {
        return ReportFailure(work_directory, korvanthelm::kPrepareFailed);
    }
}
