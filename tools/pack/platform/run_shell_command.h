// Running a command line the release engineer wrote (a signing command),
// through the system's own command interpreter, with the packer's paths
// appended as arguments of their own.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/platform/run_program.h"

namespace korvanthelm::pack {

// Runs `command` with `arguments` after it, in the packer's environment as it
// is, collecting its output as RunProgram does. On Linux:
// /bin/sh -c 'COMMAND "$1" "$2" ...' `name` ARGUMENTS..., so the arguments
// reach the command whole whatever they hold. On Windows: cmd.exe from
// System32 as /d /s /c "COMMAND "ARG1" "ARG2" ...", the command's own
// quoting left as written (a path holds no '"' there; a "%NAME%" in one is
// expanded, as cmd.exe does inside quotes). Returns status -1 and the reason
// when the interpreter could not be started.
ProgramRun RunShellCommand(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& name);

}  // namespace korvanthelm::pack
