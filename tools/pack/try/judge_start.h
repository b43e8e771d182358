// What each of `try`'s three starts should have done, as README's "What the
// set-up program must do" describes them, against what the watcher saw.
#pragma once

#include "tools/pack/try/try_result.h"
#include "tools/pack/try/try_world.h"

namespace korvanthelm::pack {

// Fills each start's set-up program, launcher and faults, the second start's
// road and `ok`, from the starts' outcomes, the contract and what `world`
// holds now (the update request). Never throws PackError.
void JudgeStarts(const TryWorld& world, TryResult& result);

// The program a Windows command line starts: its first argument, without
// the quotes around it ("\"C:\\a b\\x.exe\" --setup" gives C:\a b\x.exe).
std::string ProgramOf(std::string_view command_line);

// What became of a start's work directory: "removed" (the set-up program
// ran and none is left), "left" (one is still under TEMP) or "none" (none
// was made, as on a hand-over).
std::string_view WorkDirectoryState(const StartVerdict& start);

}  // namespace korvanthelm::pack
