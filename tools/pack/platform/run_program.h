// Starting a program and collecting what it says: how the packer runs its
// signers. The program gets no standard input and writes its standard output
// and error into one collected text; it inherits no other end of its pipes,
// so nothing it leaves running holds the packer's end open through a stray
// copy. POSIX implementation in run_program.cpp; a Windows one would sit
// beside it behind this header.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvanthelm::pack {

struct ProgramRun {
    int status;          // the exit code, or 128 + signal, or -1 when it did not start
    std::string output;  // its standard output and error together
};

struct ProgramInput {
    // Handed to the program through a pipe it reads at kSecretPath: never on
    // its command line, in its environment or in a file.
    std::optional<std::string> secret;
    // A variable left out of the program's environment; empty: it gets the
    // packer's environment as it is.
    std::string hidden_variable;
};

// Where a program started with a secret reads it from.
extern const char kSecretPath[];

// Runs `argv` (argv[0] found on PATH) and waits for it. The output ends when
// the program has exited: a helper it leaves running in the background does
// not hold the packer up, even while it keeps the output open. Returns
// status -1 and the reason as output when the program could not be started;
// throws PackError only when the pipes cannot be made.
ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramInput& input);

}  // namespace korvanthelm::pack
