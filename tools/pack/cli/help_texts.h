// What the packer prints for --help: the overview of every command (also the
// reply to an empty command line, on standard error) and each command's own
// page. Kept as whole texts, since people and scripts read them as they are.
#pragma once

namespace korvanthelm::pack::cli {

inline constexpr char kProgram[] = "korvanthelm-pack";

extern const char kUsage[];
extern const char kPackHelp[];
extern const char kBuildHelp[];
extern const char kListHelp[];
extern const char kVerifyHelp[];
extern const char kTryHelp[];

}  // namespace korvanthelm::pack::cli
