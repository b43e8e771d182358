// Whether an output can be written where it is asked for, known in a
// millisecond: asked before the long compression, so that a mistyped folder
// fails at once instead of after a minute of work.
#pragma once

#include <string>

namespace korvanthelm::pack {

// Returns when `output` is not a folder and a new file can be created in its
// folder (tried with an empty private file there, removed again at once).
// Else throws PackError "cannot write "OUTPUT": " and the cause: its folder
// does not exist, is not a folder, or refused the file (the system's
// reason). Leaves nothing behind either way.
void RequireWritableOutputFolder(const std::string& output);

}  // namespace korvanthelm::pack
