// The Wine that `try` runs executables in, as a player's machine would run
// them: one private prefix per user, made once and kept in the user's cache
// (never ~/.wine), headless, with Wine's own cabinet.dll so that the
// bootstrapper's built-in decoder unpacks, as under Proton.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tools/pack/platform/processes.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

// The one line said when Wine is missing: the tools package only suggests it.
inline constexpr char kWineMissing[] =
    "try needs Wine: install the package wine (apt-get install wine)";

struct PrivateWine {
    std::string folder;  // <cache>/korvanthelm: the prefix, its lock, its log
    std::string prefix;  // folder + "/wine-prefix"
    std::string log;     // where Wine's own output goes
    // The environment every Wine process of `try` gets.
    std::vector<std::string> variables;
    std::vector<std::string> removed;
};

// Where the private Wine lives for this user. Throws PackError kWineMissing
// when wine or wineserver is not on PATH, and one naming HOME and
// XDG_CACHE_HOME when the cache folder is unknown. Creates nothing.
PrivateWine FindPrivateWine();

// Makes the cache folder and takes the prefix's lock, held until the
// returned descriptor closes: two runs never share one Wine at once, so
// ending that Wine after a run cannot hit another run's programs.
UniqueFd LockPrivateWine(const PrivateWine& wine);

// Under the lock: makes the prefix when it is missing or was left half made
// (a minute or so, once), then starts its Wine server and services outside
// any start's time limit. Throws PackError naming the log on failure; a half
// made prefix is made again next time.
void StartPrivateWine(const PrivateWine& wine);

// Runs `argv` (after "wine", or a Wine tool such as "wineserver") in the
// prefix, its output to `output`.
TimedRun RunInPrivateWine(const PrivateWine& wine, std::vector<std::string> argv,
                          const std::string& output, std::chrono::milliseconds limit,
                          bool append = false);

// Ends every process of the prefix and its server (wineserver -k). Never
// throws.
void StopPrivateWine(const PrivateWine& wine) noexcept;

// "wine-8.0 (Debian 8.0~repack-4)", or "wine" when it does not say.
std::string WineVersion();

}  // namespace korvanthelm::pack
