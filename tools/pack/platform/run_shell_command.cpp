#include "tools/pack/platform/run_shell_command.h"

namespace korvanthelm::pack {

ProgramRun RunShellCommand(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& name) {
    std::string script = command;
    for (std::size_t i = 1; i <= arguments.size(); ++i) {
        script += " \"$" + std::to_string(i) + "\"";
    }
    std::vector<std::string> argv = {"/bin/sh", "-c", script, name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv, ProgramInput{});
}

}  // namespace korvanthelm::pack
