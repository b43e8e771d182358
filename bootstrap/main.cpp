// The bootstrapper's entry: one run, one message box on failure, exit 0 or 1.
#include <windows.h>

#include "bootstrap/run_sequence.h"
#include "platform/failure_message.h"
#include "platform/system_library.h"
#include "platform/work_directory.h"

namespace {

// user32.dll is loaded only when there is something to show: under Wine,
// importing it costs every start about 17 ms (it brings in the graphics
// side), and a run that succeeds never shows anything. Like every DLL loaded
// at run time, it comes from System32 only.
void ShowFailure(const wchar_t* text) noexcept {
    const korvanthelm::UniqueModule user32 = korvanthelm::LoadSystemLibrary(L"user32.dll");
    const auto message_box =
        korvanthelm::GetLibraryFunction<decltype(&MessageBoxW)>(user32, "MessageBoxW");
    if (message_box != nullptr) {
        message_box(/*owner=*/nullptr, text, korvanthelm::kCaption, MB_OK | MB_ICONERROR);
    }
}

// One removal pass, then the message: while the box is on screen the work
// directory is already gone as far as one pass could remove it.
int ReportFailure(const std::wstring& work_directory, const wchar_t* text) noexcept {
    if (!work_directory.empty()) {
        korvanthelm::RemoveDirectoryTree(work_directory);
    }
    ShowFailure(text);
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
