// Whether an output of a command would overwrite one of its inputs or
// another of its outputs: `pack -o X --digests-cmake X` would leave X with
// the digests only, `build -o S --stub S` would destroy the stub. Asked
// before any work, from the paths alone.
#pragma once

#include <span>
#include <string>

namespace korvanthelm::pack {

// A path and the option that named it ("-o", "--stub", ...), for the refusal.
struct NamedPath {
    std::string option;
    std::string path;
};

// Returns when every output (empty paths skipped) names a file of its own,
// neither an input that exists (the others cannot be lost) nor another
// output. Else throws PackError
// "refused: the output "X" is also the --OPTION file" ("the --OPTION output"
// for an output other than -o), naming the first clash. Touches nothing.
void RefuseOutputsThatShareAFile(std::span<const NamedPath> outputs,
                                 std::span<const NamedPath> inputs);

}  // namespace korvanthelm::pack
