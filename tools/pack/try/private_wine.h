// The Wine that `try` runs executables in, as a player's machine would run
// them: one private prefix per user, made once and kept in the user's cache
// (never ~/.wine), headless, with Wine's own cabinet.dll so that the
// bootstrapper's built-in decoder unpacks, as under Proton.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/pack/platform/processes.h"
#include "tools/pack/platform/read_only_view.h"
#include "tools/pack/platform/unique_fd.h"
#include "tools/pack/try/world_drives.h"

namespace korvanthelm::pack {

// The one line said when Wine is missing: the tools package only suggests it.
inline constexpr char kWineMissing[] =
    "try needs Wine: install the package wine (apt-get install wine)";

struct PrivateWine {
    std::string folder;  // <cache>/korvanthelm: the prefix, its lock, its log
    std::string prefix;  // folder + "/wine-prefix"
    std::string log;     // where Wine's own output goes
    std::string home;    // folder + "/home": HOME for Wine, so the profile's links lead there
    // The environment every Wine process of `try` gets.
    std::vector<std::string> variables;
    std::vector<std::string> removed;
    // Held back while the run's programs run: one that comes ends them
    // (RunInPrivateWine throws TryInterrupted). nullptr: not held.
    const HeldStopSignals* stop = nullptr;
#ifndef _WIN32
    // Where every Wine process of the run sees the file system: the user's
    // home read-only (home_shield.h). Holding none: as `try` sees it.
    HeldReadOnlyView view;
#endif
};

// A stop signal came while Wine ran: what Wine ran was killed. The caller
// ends Wine, removes its world, then dies of the signal (DieOfSignal).
struct TryInterrupted {
    int signal_number;
};

// The registry files wineserver keeps the prefix's registry in.
inline constexpr const char* kRegistryFiles[] = {"system.reg", "user.reg", "userdef.reg"};

// Where the private Wine lives for this user. Throws PackError kWineMissing
// when wine or wineserver is not on PATH, and one naming HOME and
// XDG_CACHE_HOME when the cache folder is unknown. Creates nothing.
PrivateWine FindPrivateWine();

// Makes the cache folder and takes the prefix's lock, held until the
// returned descriptor closes: two runs never share one Wine at once, so
// ending that Wine after a run cannot hit another run's programs.
UniqueFd LockPrivateWine(const PrivateWine& wine);

// Under the lock: makes the prefix when it is missing, was left half made or
// was written into by a run (a minute or so), and keeps a copy of its
// registry as made; otherwise puts that copy back, so that every run starts
// from the prefix as it was made. Then gives it the run's `drives` in
// place of Z: (MapTryDrives), starts its Wine server and services outside
// any start's time limit, and marks the prefix in use until
// MarkPrefixClean. Throws PackError naming the log on failure, and
// TryInterrupted; the prefix is then made again next time.
void StartPrivateWine(const PrivateWine& wine, std::span<const TryDrive> drives);

// After a run that wrote no file into the prefix or Wine's home: the next
// run may use the prefix as it is (its registry is put back anyway).
void MarkPrefixClean(const PrivateWine& wine);

// The folder with the copy of the registry files as the prefix was made.
std::string CleanRegistryFolder(const PrivateWine& wine);

// The Linux programs that processes of the prefix started (`start /unix`)
// and that still run: Wine's own processes and server left out.
#ifndef _WIN32
std::vector<RunningProcess> LinuxProcessesOf(const PrivateWine& wine);
#endif

// Runs `argv` (after "wine", or a Wine tool such as "wineserver") in the
// prefix, its output to `output`. `stoppable`: a stop signal held by
// `wine.stop` ends it, and TryInterrupted is thrown. `working_directory`:
// where it starts (a folder on one of the run's drives, or Wine starts the
// program in C:\windows); empty: where the caller is.
TimedRun RunInPrivateWine(const PrivateWine& wine, std::vector<std::string> argv,
                          const std::string& output, std::chrono::milliseconds limit,
                          bool append = false, bool stoppable = false,
                          const std::string& working_directory = {});

// Ends every process of the prefix and its server (wineserver -k), then any
// Linux program they left running. Never throws.
void StopPrivateWine(const PrivateWine& wine) noexcept;

// "wine-8.0 (Debian 8.0~repack-4)", or "wine" when it does not say.
std::string WineVersion();

}  // namespace korvanthelm::pack
