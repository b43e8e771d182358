#include "tools/pack/cli/print_output.h"

#include <cstdio>

#include "tools/pack/base/printable_path.h"
#include "tools/pack/cli/help_texts.h"

namespace korvanthelm::pack::cli {

int RefuseCommandLine(std::string_view problem, std::string_view command) {
    const std::string see = command.empty() ? std::string() : std::string(command) + " ";
    std::fprintf(stderr, "%s: %s (see %s %s--help)\n", kProgram, PrintableLine(problem).c_str(),
                 kProgram, see.c_str());
    return 2;
}

void PrintWarning(const std::string& line) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: warning: %s\n", kProgram, PrintableLine(line).c_str());
}

void PrintWarnings(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        PrintWarning(line);
    }
}

void PrintDigests(const ExecutableDigests& digests, std::FILE* out) {
    std::fprintf(out, "PackageDigest %s\nLauncherExeDigest %s\nLauncherJarDigest %s\n",
                 digests.package.c_str(), digests.launcher_exe.c_str(),
                 digests.launcher_jar.c_str());
}

}  // namespace korvanthelm::pack::cli
