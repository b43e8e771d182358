// Windows only: starting a program from a command line already quoted, for
// programs that split their command line their own way (cmd.exe).
#pragma once

#include <string>
#include <vector>

#include "tools/pack/platform/run_program.h"

namespace korvanthelm::pack {

// `arguments` (program first) as one command line that CommandLineToArgvW and
// the C runtime split back into exactly these arguments: each quoted when it
// is empty or holds a blank or a quote, backslashes doubled where they come
// before a quote (the closing one included), all else as it is.
std::wstring QuotedCommandLine(const std::vector<std::wstring>& arguments);

// Runs `line` (UTF-16, program first) as RunProgram runs its argv; `program`
// names it in the reason when it cannot be started. `application`, when not
// empty, is the program's full path, so no search decides which one runs.
ProgramRun RunCommandLine(std::wstring line, const std::wstring& application,
                          const std::string& program, const ProgramInput& input);

}  // namespace korvanthelm::pack
