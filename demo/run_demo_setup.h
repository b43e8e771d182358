// The demo set-up program's run: check the run mode, install, report.
#pragma once

#include <span>

namespace korvanthelm::demo {

// Exit codes. The bootstrapper treats any non-zero code as a failed set-up and
// shows it; the log line says which failure it was.
inline constexpr int kSetupSucceeded = 0;
inline constexpr int kSetupFailed = 1;
inline constexpr int kSetupWrongArguments = 2;

// `arguments` are the parsed command-line arguments after the program name.
// Accepts exactly one, "--setup" or "--update" (case matters: the
// bootstrapper passes them in lower case, anything else is not from it).
// Every outcome appends one line to the demo log:
//   setup: mode=<mode> args=<command line> cwd=<working folder> installed <exe path>
//   setup: removed <update request path>            (after "--update", when there was one)
//   setup: failed args=<command line> cwd=<working folder>: <reason>
// Never throws.
int RunDemoSetup(std::span<const wchar_t* const> arguments) noexcept;

}  // namespace korvanthelm::demo
