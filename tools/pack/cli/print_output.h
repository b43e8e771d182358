// The packer's own lines on its standard streams: refusals of a command line,
// warnings, and the digest lines scripts read from standard output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/pe/assemble_executable.h"

namespace korvanthelm::pack::cli {

// Prints "korvanthelm-pack: PROBLEM (see korvanthelm-pack COMMAND --help)" on
// standard error (no command word for an empty `command`) and returns 2, the
// exit status of a bad command line.
int RefuseCommandLine(std::string_view problem, std::string_view command);

// "korvanthelm-pack: warning: LINE" on standard error, after whatever
// standard output holds so far, so that a shared terminal shows them in order.
void PrintWarning(const std::string& line);
void PrintWarnings(const std::vector<std::string>& lines);

// The three digest lines: PackageDigest, LauncherExeDigest, LauncherJarDigest,
// on `out` (standard output unless --json moved the text to standard error).
void PrintDigests(const ExecutableDigests& digests, std::FILE* out = stdout);

}  // namespace korvanthelm::pack::cli
