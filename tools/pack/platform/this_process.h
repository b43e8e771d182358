// The packer's own process: its standard streams, whether a person watches
// them, the memory and cores it may use, and whether a library loads in it.
// The same code on both systems in this_process.cpp (small #ifdef _WIN32
// branches), the library loader in this_process_posix.cpp and
// this_process_windows.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

// The packer's standard output and error carry UTF-8 on every system, byte
// for byte what the Linux packer writes, so scripts and CI logs read the same
// text from both. Nothing to do on Linux.

// On Windows: standard output and error in binary mode (no "\r" added before
// each "\n"), and a console shown UTF-8 (its code page set to 65001 for the
// run and set back at exit). Never throws.
void PrepareStandardStreams();

#ifdef _WIN32
// The UTF-16 arguments wmain gets, as UTF-8 (a lone surrogate in its
// generalized form), the program's name left out.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#endif

// Whether the packer's standard error is a terminal: progress and the closing
// summary line are for a person watching, not for a build log.

// True when standard error is a terminal; false for a file, a pipe or a
// closed descriptor. Never throws.
bool StandardErrorIsTerminal();

// How much memory the system can give this process without swapping.

// MemAvailable from /proc/meminfo in bytes (on Windows the available
// physical memory GlobalMemoryStatusEx gives); nullopt when it cannot be read.
std::optional<std::uint64_t> AvailableMemory();
// The same figure from the text of /proc/meminfo (its "MemAvailable: N kB" line).
std::optional<std::uint64_t> MemAvailableFrom(std::string_view meminfo);

// How many cores this process may run its threads on.

// The cores this process may run on (its CPU affinity, which taskset and
// container limits narrow), at least 1.
unsigned UsableCores();

// Whether a shared library (a token's PKCS#11 module) loads in this process
// and offers an entry point, asked before a signer that needs it is started
// a minute later.

// Empty when `path` loads (with all its dependencies resolved now, as a
// signer would load it) and exports `symbol`; else the loader's own reason.
// Runs the library's initialisers, calls nothing of it, and unloads it
// again. Never throws.
std::string SharedLibraryLoadFailure(const std::string& path, const char* symbol);

}  // namespace korvanthelm::pack
