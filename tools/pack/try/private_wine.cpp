#include "tools/pack/try/private_wine.h"

#include <langinfo.h>
#include <locale.h>

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

// Present once the prefix was made completely and no run has written into
// it since. (The number: prefixes made before Wine got a home of its own
// link the profile's folders to the user's home, and those made before Z:
// was taken away keep registry entries naming Z:, so both are made anew.)
constexpr char kReadyMark[] = "/.korvanthelm-ready-3";
// Making a prefix takes 10 to 20 s here; a slow CI machine gets ten times that.
constexpr seconds kBootLimit{300};
constexpr seconds kServerLimit{120};

void WriteTextFile(const std::string& path, std::string_view text) {
    StagedFile file(path, std::as_bytes(std::span(text.data(), text.size())));
    file.Commit();
}

// Whether the caller's locale reads and writes file names as UTF-8. Wine
// takes the names' encoding from it; in any other (the C locale of minimal
// systems, one named but not installed) a non-ASCII name cannot be made.
bool CallerLocaleIsUtf8() {
    const locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) {
        return false;
    }
    const bool utf8 = std::string_view(nl_langinfo_l(CODESET, locale)) == "UTF-8";
    freelocale(locale);
    return utf8;
}

void RunBootStep(const PrivateWine& wine, std::vector<std::string> argv) {
    const std::string step = argv.front();
    const TimedRun run = RunInPrivateWine(wine, std::move(argv), wine.log, kBootLimit,
                                          /*append=*/true, /*stoppable=*/true);
    if (run.timed_out || run.status != 0) {
        throw PackError("cannot make the private Wine prefix in " + wine.prefix + ": " + step +
                        " failed, see " + wine.log);
    }
}

void CopyFile(const std::string& from, const std::string& to) {
    const std::vector<std::byte> bytes = ReadWholeFile(from);
    StagedFile file(to, bytes);
    file.Commit();
}

// The registry as the prefix was made, kept beside it.
void SaveCleanRegistry(const PrivateWine& wine) {
    MakeFolders(CleanRegistryFolder(wine));
    for (const char* name : kRegistryFiles) {
        CopyFile(wine.prefix + "/" + name, CleanRegistryFolder(wine) + "/" + name);
    }
}

void RestoreCleanRegistry(const PrivateWine& wine) {
    for (const char* name : kRegistryFiles) {
        CopyFile(CleanRegistryFolder(wine) + "/" + name, wine.prefix + "/" + name);
    }
}

}  // namespace

std::string CleanRegistryFolder(const PrivateWine& wine) {
    return wine.folder + "/clean-registry";
}

void MarkPrefixClean(const PrivateWine& wine) {
    WriteTextFile(wine.prefix + kReadyMark, "");
}

std::vector<RunningProcess> LinuxProcessesOf(const PrivateWine& wine) {
    std::vector<RunningProcess> linux_programs;
    for (RunningProcess& process : ProcessesWithVariable("WINEPREFIX=" + wine.prefix)) {
        // wine64, wine64-preloader, wineserver64 and the like run Wine itself.
        const std::string name = process.program.substr(process.program.rfind('/') + 1);
        if (!name.starts_with("wine")) {
            linux_programs.push_back(std::move(process));
        }
    }
    return linux_programs;
}

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
    wine.home = wine.folder + "/home";
    wine.variables = {
        "WINEPREFIX=" + wine.prefix,
        "WINEARCH=win64",
        "WINEDEBUG=-all",
        // No Mono or Gecko installers, no menu entries in the user's desktop;
        // cabinet.dll stays Wine's own.
        "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d",
        // Wine links the profile's Desktop, Documents and the like to the
        // home: a set-up program's shortcut lands in this one, not the user's.
        "HOME=" + wine.home,
    };
    if (!CallerLocaleIsUtf8()) {
        wine.variables.push_back("LC_ALL=C.UTF-8");
    }
    wine.removed = {// Headless: message boxes go to Wine's null display, never a real screen.
                    "DISPLAY", "WAYLAND_DISPLAY",
                    // Debian 13's Wine 10 aborts in wineboot whenever TMPDIR is set, to
                    // any value; without it the server's socket folder is /tmp/wine-*.
                    "TMPDIR",
                    // Another Wine's loader, server or libraries, or its tuning, in the
                    // caller's environment would make this another Wine.
                    "WINELOADER", "WINESERVER", "WINEDLLPATH", "WINELOADERNOEXEC",
                    "WINEPRELOADRESERVE", "WINEESYNC", "WINEFSYNC", "WINE_LARGE_ADDRESS_AWARE",
                    // The user's own folders: Wine would link the profile to them.
                    "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DESKTOP_DIR", "XDG_DOCUMENTS_DIR"};
    return wine;
}

UniqueFd LockPrivateWine(const PrivateWine& wine) {
    MakeFolders(wine.folder);
    return LockExclusively(wine.folder + "/wine-prefix.lock");
}

void StartPrivateWine(const PrivateWine& wine, std::span<const TryDrive> drives) {
    if (!PathExists(wine.prefix + kReadyMark)) {
        RemoveFolderTree(wine.prefix);
        RemoveFolderTree(wine.home);
        RemoveFolderTree(wine.folder + "/clean-registry");
        RemoveFolderTree(wine.folder + "/tmp");  // where older versions kept the server's socket
        MakeFolders(wine.prefix);
        MakeFolders(wine.home);
        WriteTextFile(wine.prefix + "/user.reg", kUserRegistry);
        RunBootStep(wine, {"wineboot", "--init"});
        RunBootStep(wine, {"winecfg", "-v", "win10"});
        RunBootStep(wine, {"wineserver", "-w"});
        // Wine lists the machine's fonts in the registry by their paths
        // (Z:\usr\share\fonts\...), rewritten as a server's life starts:
        // without Z: the first life drops that list, the next one lists them
        // again by Wine's \??\unix\ names. Kept as wineboot left it, every
        // run would change the list; so two lives without Z: first.
        MapTryDrives(wine.prefix, /*drives=*/{});
        for (int life = 0; life < 2; ++life) {
            RunBootStep(wine, {"winecfg", "-v", "win10"});
            RunBootStep(wine, {"wineserver", "-w"});
        }
        SaveCleanRegistry(wine);
    } else {
        RestoreCleanRegistry(wine);
    }
    // In use: should the run end before it is found clean, the prefix is
    // made anew next time.
    RemoveFolderTree(wine.prefix + kReadyMark);
    // Before any Wine process of the run: each reads the drives as it starts.
    MapTryDrives(wine.prefix, drives);
    // Status 0: no server was running and this one is new; bring the desktop
    // and services up now, so that no start's time includes them.
    const TimedRun server = RunInPrivateWine(wine, {"wineserver", "-p"}, wine.log, kServerLimit,
                                             /*append=*/true, /*stoppable=*/true);
    if (server.status == 0) {
        RunInPrivateWine(wine, {"wine", "cmd", "/c", "exit"}, wine.log, kServerLimit,
                         /*append=*/true, /*stoppable=*/true);
    }
}

TimedRun RunInPrivateWine(const PrivateWine& wine, std::vector<std::string> argv,
                          const std::string& output, std::chrono::milliseconds limit, bool append,
                          bool stoppable, const std::string& working_directory) {
    TimedRunRequest request;
    request.argv = std::move(argv);
    request.working_directory = working_directory;
    request.variables = wine.variables;
    request.removed = wine.removed;
    request.output = output;
    request.append = append;
    request.time_limit = limit;
    request.stop = stoppable ? wine.stop : nullptr;
    request.view = wine.view ? &wine.view : nullptr;
    const TimedRun run = RunWithTimeLimit(request);
    if (run.stopped_by != 0) {
        throw TryInterrupted{run.stopped_by};
    }
    return run;
}

void StopPrivateWine(const PrivateWine& wine) noexcept {
    try {
        RunInPrivateWine(wine, {"wineserver", "-k"}, wine.log, seconds{30}, /*append=*/true);
        // Until the server is gone, its registry saved.
        RunInPrivateWine(wine, {"wineserver", "-w"}, wine.log, seconds{30}, /*append=*/true);
        // Linux programs are no processes of Wine's: -k leaves them running.
        KillProcesses(LinuxProcessesOf(wine));
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
