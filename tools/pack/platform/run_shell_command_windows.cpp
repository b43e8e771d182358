#include <windows.h>

#include "tools/pack/platform/run_command_line.h"
#include "tools/pack/platform/run_shell_command.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {

ProgramRun RunShellCommand(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& /*name*/) {
    // cmd.exe from System32 by its full path: no cmd.exe beside the packer or
    // in the working folder is ever run instead.
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {-1, "cannot start cmd.exe: " + WindowsErrorText(GetLastError())};
    }
    const std::wstring interpreter = std::wstring(system, length) + L"\\cmd.exe";
    // /d: no AutoRun commands from the registry; /s /c: the outer quotes are
    // removed and everything between them runs as written.
    std::wstring line = L"cmd.exe /d /s /c \"" + WideFromUtf8(command);
    for (const std::string& argument : arguments) {
        line += L" \"" + WideFromUtf8(argument) + L"\"";
    }
    line += L"\"";
    return RunCommandLine(std::move(line), interpreter, "cmd.exe", ProgramInput{});
}

}  // namespace korvanthelm::pack
