#include "demo/run_demo_setup.h"

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>

#include "demo/demo_failure.h"
#include "demo/demo_log.h"
#include "demo/install_demo_launcher.h"
#include "demo/process_context.h"

namespace korvanthelm::demo {
namespace {

std::wstring RequireEnvironmentFolder(const wchar_t* name) {
    std::wstring value = ReadEnvironmentVariable(name);
    if (value.empty()) {
        throw DemoFailure{std::wstring(name) + L" is not set"};
    }
    return value;
}

// The log is the report, not the job: a line that cannot be written (or
// built, when memory runs out) does not change the outcome.
void ReportFailure(const std::wstring& context, std::wstring_view text) noexcept {
    try {
        AppendDemoLog(L"setup: failed " + context + L": " + std::wstring(text));
    } catch (const std::exception&) {
    }
}

}  // namespace

int RunDemoSetup(std::span<const wchar_t* const> arguments) noexcept {
    std::wstring context;
    try {
        context = L"args=" + std::wstring(GetCommandLineW()) + L" cwd=" + WorkingDirectory();
        const std::wstring_view mode = arguments.size() == 1 ? arguments[0] : L"";
        if (mode != L"--setup" && mode != L"--update") {
            ReportFailure(context, L"expected exactly one argument, --setup or --update");
            return kSetupWrongArguments;
        }
        const std::wstring local_app_data = RequireEnvironmentFolder(L"LOCALAPPDATA");
        const std::wstring app_data = RequireEnvironmentFolder(L"APPDATA");
        const std::wstring self = RunningExecutablePath();
        if (self.empty()) {
            throw DemoFailure{L"cannot find the set-up program's own path"};
        }
        const std::wstring installed =
            InstallDemoLauncher(ParentFolder(self), local_app_data, app_data);
        AppendDemoLog(L"setup: mode=" + std::wstring(mode) + L" " + context + L" installed " +
                      installed);
        if (mode == L"--update" && RemoveUpdateRequest(app_data)) {
            AppendDemoLog(L"setup: removed " + UpdateRequestPath(app_data));
        }
        return kSetupSucceeded;
    } catch (const DemoFailure& failure) {
        ReportFailure(context, failure.reason);
    } catch (const std::exception&) {
        // Memory exhaustion or a length limit: the line may not fit either,
        // but the exit code still tells the bootstrapper.
        ReportFailure(context, L"out of memory");
    }
    return kSetupFailed;
}

}  // namespace korvanthelm::demo
