// `korvanthelm-pack try EXE [--timeout SECONDS] [--keep DIR] [--json]`: the
// three starts under Wine and the report on them, for people and scripts.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvanthelm::pack::cli {

// `args` follow the command word. Returns 0 when every start behaved, 1 when
// one did not (after the whole report), 2 for a bad command line. Throws
// PackError for what stops it before the starts (Wine missing, the exe
// refused).
int RunTry(std::span<const std::string_view> args, const std::string& version);

}  // namespace korvanthelm::pack::cli
