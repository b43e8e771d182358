// Windows only: starting a program from a command line already quoted, for
// programs that split their command line their own way (cmd.exe).
#pragma once

#include <string>

#include "tools/pack/platform/run_program.h"

namespace korvanthelm::pack {

// Runs `line` (UTF-16, program first) as RunProgram runs its argv; `program`
// names it in the reason when it cannot be started. `application`, when not
// empty, is the program's full path, so no search decides which one runs.
ProgramRun RunCommandLine(std::wstring line, const std::wstring& application,
                          const std::string& program, const ProgramInput& input);

}  // namespace korvanthelm::pack
