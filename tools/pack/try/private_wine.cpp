#include "tools/pack/try/private_wine.h"

#include <cstddef>
#include <optional>
#include <span>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/platform/processes.h"
#include "tools/pack/try/exclusive_lock.h"
#include "tools/pack/try/user_folders.h"

namespace korvanthelm::pack {
namespace {

using std::chrono::seconds;

// Seeded before the first Wine process: the null graphics driver makes a
// message box a real window that blocks, as on Windows, so the watcher can
// read and close it (without it MessageBoxW returns -1 at once and the text
// is lost); a crash must not wait on a crash dialog nobody sees.
constexpr char kUserRegistry[] =
    "WINE REGISTRY Version 2\n"
    "\n"
    "[Software\\\\Wine\\\\Drivers]\n"
    "\"Graphics\"=\"null\"\n"
    "\n"
    "[Software\\\\Wine\\\\WineDbg]\n"
    "\"ShowCrashDialog\"=dword:00000000\n";

// Present once the prefix was made completely.
constexpr char kReadyMark[] = "/.korvanthelm-ready";
// Making a prefix takes 10 to 20 s here; a slow CI machine gets ten times that.
constexpr seconds kBootLimit{300};
constexpr seconds kServerLimit{120};

void WriteTextFile(const std::string& path, std::string_view text) {
    StagedFile file(path, std::as_bytes(std::span(text.data(), text.size())));
    file.Commit();
}

void RunBootStep(const PrivateWine& wine, std::vector<std::string> argv) {
    const std::string step = argv.front();
    const TimedRun run = RunInPrivateWine(wine, std::move(argv), wine.log, kBootLimit,
                                          /*append=*/true);
    if (run.timed_out || run.status != 0) {
        throw PackError("cannot make the private Wine prefix in " + wine.prefix + ": " + step +
                        " failed, see " + wine.log);
    }
}

}  // namespace

PrivateWine FindPrivateWine() {
    if (!FindOnPath("wine") || !FindOnPath("wineserver")) {
        throw PackError(kWineMissing);
    }
    const std::optional<std::string> cache = UserCacheFolder();
    if (!cache) {
        throw PackError(
            "try keeps its Wine prefix in the user's cache: set HOME or XDG_CACHE_HOME");
    }
    PrivateWine wine;
    wine.folder = *cache + "/korvanthelm";
    wine.prefix = wine.folder + "/wine-prefix";
    wine.log = wine.folder + "/wine.log";
    wine.variables = {
        "WINEPREFIX=" + wine.prefix,
        "WINEARCH=win64",
        "WINEDEBUG=-all",
        // No Mono or Gecko installers, no menu entries in the user's desktop;
        // cabinet.dll stays Wine's own.
        "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d",
        // The server's socket folder: inside the cache, not the user's /tmp.
        "TMPDIR=" + wine.folder + "/tmp",
    };
    // Headless: message boxes go to Wine's null display, never a real screen.
    wine.removed = {"DISPLAY", "WAYLAND_DISPLAY"};
    return wine;
}

UniqueFd LockPrivateWine(const PrivateWine& wine) {
    MakeFolders(wine.folder + "/tmp");
    return LockExclusively(wine.folder + "/wine-prefix.lock");
}

void StartPrivateWine(const PrivateWine& wine) {
    if (!PathExists(wine.prefix + kReadyMark)) {
        RemoveFolderTree(wine.prefix);
        MakeFolders(wine.prefix);
        WriteTextFile(wine.prefix + "/user.reg", kUserRegistry);
        RunBootStep(wine, {"wineboot", "--init"});
        RunBootStep(wine, {"winecfg", "-v", "win10"});
        RunBootStep(wine, {"wineserver", "-w"});
        WriteTextFile(wine.prefix + kReadyMark, "");
    }
    // Status 0: no server was running and this one is new; bring the desktop
    // and services up now, so that no start's time includes them.
    const TimedRun server =
        RunInPrivateWine(wine, {"wineserver", "-p"}, wine.log, kServerLimit, /*append=*/true);
    if (server.status == 0) {
        RunInPrivateWine(wine, {"wine", "cmd", "/c", "exit"}, wine.log, kServerLimit,
                         /*append=*/true);
    }
}

TimedRun RunInPrivateWine(const PrivateWine& wine, std::vector<std::string> argv,
                          const std::string& output, std::chrono::milliseconds limit, bool append) {
    TimedRunRequest request;
    request.argv = std::move(argv);
    request.variables = wine.variables;
    request.removed = wine.removed;
    request.output = output;
    request.append = append;
    request.time_limit = limit;
    return RunWithTimeLimit(request);
}

void StopPrivateWine(const PrivateWine& wine) noexcept {
    try {
        RunInPrivateWine(wine, {"wineserver", "-k"}, wine.log, seconds{30}, /*append=*/true);
    } catch (...) {
        // Nothing to do: the next run's server start finds what is left.
    }
}

std::string WineVersion() {
    const ProgramRun run = RunProgram({"wine", "--version"}, ProgramInput{});
    const std::size_t start = run.output.find("wine-");
    if (run.status != 0 || start == std::string::npos) {
        return "wine";
    }
    return run.output.substr(start, run.output.find('\n', start) - start);
}

}  // namespace korvanthelm::pack
