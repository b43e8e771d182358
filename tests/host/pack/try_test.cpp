// try's reading and judging without Wine: watcher traces as the watcher writes
// them (its own line maker), worlds on disk as a set-up program leaves them,
// and the verdicts the judge gives on each. The Wine end-to-end run
// (tests/e2e/try_test.py) shows the same code against a real exe.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/setup_contract.h"
#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/hashing.h"
#include "tools/pack/platform/processes.h"
#include "tools/pack/platform/read_only_view.h"
#include "tools/pack/try/check_setup_contract.h"
#include "tools/pack/try/home_shield.h"
#include "tools/pack/try/judge_start.h"
#include "tools/pack/try/run_one_start.h"
#include "tools/pack/try/try_result.h"
#include "tools/pack/try/try_starts.h"
#include "tools/pack/try/try_world.h"
#include "tools/pack/try/world_drives.h"
#include "tools/watcher/watcher_trace.h"

namespace korvanthelm::pack {
namespace {

using test::TempDir;
using test::WriteFile;
using watcher::TraceLine;

std::string Trace(std::initializer_list<std::string> lines, const char* end = "\n") {
    std::string text;
    for (const std::string& line : lines) {
        text += line + end;
    }
    return text;
}

std::string Start(int pid, int parent, const std::string& command_line) {
    return TraceLine<char>(watcher::kTraceStart,
                           {std::to_string(pid), std::to_string(parent), command_line});
}
std::string Exit(int pid, int code) {
    return TraceLine<char>(watcher::kTraceExit, {std::to_string(pid), std::to_string(code)});
}
std::string Box(int pid, const std::string& caption, const std::string& text) {
    return TraceLine<char>(watcher::kTraceBox, {std::to_string(pid), caption, text});
}

// ---- The trace reader ----

struct TraceCase {
    const char* why;
    std::string text;
    bool timed_out;
    std::optional<std::uint32_t> exit_code;
    std::vector<std::pair<std::uint32_t, std::optional<std::uint32_t>>> processes;  // pid, exit
    std::vector<std::string> boxes;                                                 // their texts
};

TEST(TryTrace, ReadsWhatTheWatcherWrites) {
    const TraceCase cases[] = {
        {"a start, its child and both exits",
         Trace({Start(10, 0, "\"Z:\\k.exe\""), Start(11, 10, "\"Z:\\s.exe\" --setup"), Exit(11, 0),
                Exit(10, 0)}),
         false,
         0,
         {{10, 0}, {11, 0}},
         {}},
        {"CRLF line ends, as a Windows pipe may give them",
         Trace({Start(10, 0, "k"), Exit(10, 1)}, "\r\n"),
         false,
         1,
         {{10, 1}},
         {}},
        {"the last line without its line end",
         Start(10, 0, "k") + "\n" + Exit(10, 7),
         false,
         7,
         {{10, 7}},
         {}},
        {"a tab or line end inside a message stays one field, and comes back exact",
         Trace({Start(10, 0, "k"), Box(10, "KORVANTHELM", "one\ttwo\r\nthree \\x"), Exit(10, 1)}),
         false,
         1,
         {{10, 1}},
         {"one\ttwo\r\nthree \\x"}},
        {"a message ending in a carriage return keeps it: the line's own end is only \"\\n\"",
         Trace({Start(10, 0, "k"), Box(10, "KORVANTHELM", "last\r"), Exit(10, 1)}),
         false,
         1,
         {{10, 1}},
         {"last\r"}},
        {"a command line with tabs stays whole",
         Trace({Start(10, 0, "\"Z:\\a\tb.exe\" x"), Exit(10, 0)}),
         false,
         0,
         {{10, 0}},
         {}},
        {"the exit of the bootstrapper's child is not the bootstrapper's",
         Trace({Start(10, 0, "k"), Start(11, 10, "s"), Exit(11, 3)}),
         false,
         std::nullopt,
         {{10, std::nullopt}, {11, 3}},
         {}},
        {"an exit of a process never seen starting is dropped",
         Trace({Start(10, 0, "k"), Exit(99, 5), Exit(10, 0)}),
         false,
         0,
         {{10, 0}},
         {}},
        {"a timeout, after which nothing exits",
         Trace({Start(10, 0, "k"), TraceLine<char>(watcher::kTraceEnded, {"10"}),
                TraceLine<char>(watcher::kTraceTimeout, {})}),
         true,
         std::nullopt,
         {{10, std::nullopt}},
         {}},
        {"lines of the wrong length or an unknown word are skipped",
         Trace({"start\t10\t0", "exit\t10", "box\t10\tKORVANTHELM", "hello\t1", "",
                Start(12, 0, "k"), "exit\t12\t0\textra", Exit(12, 0)}),
         false,
         0,
         {{12, 0}},
         {}},
        {"no trace at all: nothing started", "", false, std::nullopt, {}, {}},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.why);
        const StartOutcome outcome = ParseWatcherTrace(c.text);
        EXPECT_EQ(outcome.timed_out, c.timed_out);
        EXPECT_EQ(outcome.exit_code, c.exit_code);
        ASSERT_EQ(outcome.processes.size(), c.processes.size());
        for (std::size_t i = 0; i < c.processes.size(); ++i) {
            EXPECT_EQ(outcome.processes[i].pid, c.processes[i].first);
            EXPECT_EQ(outcome.processes[i].exit_code, c.processes[i].second);
        }
        ASSERT_EQ(outcome.boxes.size(), c.boxes.size());
        for (std::size_t i = 0; i < c.boxes.size(); ++i) {
            EXPECT_EQ(outcome.boxes[i].text, c.boxes[i]);
            EXPECT_EQ(outcome.boxes[i].caption, "KORVANTHELM");
        }
    }
}

TEST(TryTrace, StartLinesKeepParentAndCommandLine) {
    const StartOutcome outcome = ParseWatcherTrace(
        Trace({Start(10, 0, "\"Z:\\k.exe\""), Start(11, 10, "\"Z:\\s.exe\" -x")}));
    ASSERT_EQ(outcome.processes.size(), 2u);
    EXPECT_EQ(outcome.processes[1].parent, 10u);
    EXPECT_EQ(outcome.processes[1].command_line, "\"Z:\\s.exe\" -x");
}

// ---- The set-up program's side of the contract, read from a world ----

// A fresh world on disk, and the digests of the launcher files Install puts
// there by default.
struct WorldOnDisk {
    WorldOnDisk() {
        world_.root = dir_.path();
        world_.temp = dir_ / "temp";
        world_.app_data = dir_ / "Roaming";
        world_.local_app_data = dir_ / "Local";
        world_.prefix = dir_ / "prefix";
        world_.drives = TryDrivesOf(world_.root, dir_ / "downloads/KORVANTHELM.exe",
                                    dir_ / "share/korvanthelm-watcher.exe");
        digests_ = {"p", Sha256Text(AsBytes(kExe)), Sha256Text(AsBytes(kJar))};
    }
    static std::span<const std::byte> AsBytes(std::string_view text) {
        return std::as_bytes(std::span(text.data(), text.size()));
    }
    // The launcher folder as the set-up program writes it into the record.
    std::string LauncherFolder() const { return WindowsPath(world_, world_.local_app_data + "/L"); }
    void Install(const std::string& record, const std::string& build_mark,
                 const std::string& exe = kExe, const std::string& jar = kJar) {
        WriteFile(world_.local_app_data + "/L/launcher.exe", exe);
        WriteFile(world_.local_app_data + "/L/app/KorvanThelm.jar", jar);
        WriteFile(world_.local_app_data + "/L/app/launcher.build", build_mark);
        WriteFile(AppDataPath(world_, format::kLauncherRecordPath), record);
    }

    static constexpr const char* kExe = "the launcher exe";
    static constexpr const char* kJar = "the launcher jar";
    TempDir dir_;
    TryWorld world_;
    ExecutableDigests digests_;
};

TEST(TryContract, ProblemsAreTheBootstrappersReasonsInItsOrder) {
    struct Case {
        const char* why;
        std::function<void(WorldOnDisk&)> leave;
        std::vector<std::string> problems;  // "@" stands for the launcher folder
    };
    const WorldOnDisk reference;
    const ExecutableDigests digests_ = reference.digests_;
    const std::string jar_digest = digests_.launcher_jar;
    const auto AsBytes = WorldOnDisk::AsBytes;
    const Case cases[] = {
        {"nothing installed",
         [](WorldOnDisk&) {},
         {"no launcher record: %APPDATA%\\KORVANTHELM\\launcher.path is missing or empty"}},
        {"a record of blanks and line ends is empty",
         [](WorldOnDisk& t) {
             WriteFile(AppDataPath(t.world_, format::kLauncherRecordPath), " \r\n");
         },
         {"no launcher record: %APPDATA%\\KORVANTHELM\\launcher.path is missing or empty"}},
        {"the record names a file that is not there",
         [](WorldOnDisk& t) {
             WriteFile(AppDataPath(t.world_, format::kLauncherRecordPath),
                       t.LauncherFolder() + "\\gone.exe");
         },
         {"the launcher record names a missing file: @\\gone.exe"}},
        {"all in place; the record with a byte order mark and CRLF, the mark with LF",
         [&](WorldOnDisk& t) {
             t.Install("\xEF\xBB\xBF" + t.LauncherFolder() + "\\launcher.exe\r\n",
                       jar_digest + "\n");
         },
         {}},
        {"a .. step in the record, taken as the bootstrapper's Windows takes it",
         [&](WorldOnDisk& t) {
             t.Install(t.LauncherFolder() + "\\app\\..\\launcher.exe", jar_digest);
         },
         {}},
        {"the build mark holds something else, kept exact (escaped only when shown)",
         [](WorldOnDisk& t) { t.Install(t.LauncherFolder() + "\\launcher.exe", "old\tmark"); },
         {"app\\launcher.build does not hold LauncherJarDigest: it holds \"old\tmark\", not " +
          jar_digest}},
        {"a leading blank in the build mark is not trimmed",
         [&](WorldOnDisk& t) {
             t.Install(t.LauncherFolder() + "\\launcher.exe", " " + jar_digest);
         },
         {"app\\launcher.build does not hold LauncherJarDigest: it holds \" " + jar_digest +
          "\", not " + jar_digest}},
        {"another launcher exe and jar",
         [&](WorldOnDisk& t) {
             t.Install(t.LauncherFolder() + "\\launcher.exe", jar_digest, "other exe", "other jar");
         },
         {"the launcher exe is not the one this exe was built with (LauncherExeDigest): "
          "installed " +
              Sha256Text(AsBytes("other exe")) + ", built with " + digests_.launcher_exe,
          "the launcher jar is not the one this exe was built with (LauncherJarDigest): "
          "installed " +
              Sha256Text(AsBytes("other jar")) + ", built with " + jar_digest}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        WorldOnDisk fresh;
        c.leave(fresh);
        const SetupContract contract = CheckSetupContract(fresh.world_, digests_);
        std::vector<std::string> expected;
        for (std::string problem : c.problems) {
            const std::size_t at = problem.find('@');
            if (at != std::string::npos) {
                problem.replace(at, 1, fresh.LauncherFolder());
            }
            expected.push_back(problem);
        }
        EXPECT_EQ(contract.problems, expected);
    }
}

TEST(TryContract, MissingJarIsNamedWithItsWindowsPath) {
    WorldOnDisk w;
    w.Install(w.LauncherFolder() + "\\launcher.exe", w.digests_.launcher_jar);
    std::filesystem::remove(w.world_.local_app_data + "/L/app/KorvanThelm.jar");
    const SetupContract contract = CheckSetupContract(w.world_, w.digests_);
    ASSERT_EQ(contract.problems.size(), 1u);
    EXPECT_EQ(contract.problems[0],
              "the launcher jar is missing: " + w.LauncherFolder() + "\\app\\KorvanThelm.jar");
    EXPECT_EQ(contract.exe_digest, w.digests_.launcher_exe);
    EXPECT_EQ(contract.build_mark, w.digests_.launcher_jar);
}

// A record that names the installed launcher by a way the world's drives do
// not give: on a player's machine it names nothing, and try looks at nothing.
TEST(TryContract, ARecordOffTheWorldsDrivesNamesAMissingFile) {
    struct Case {
        const char* why;
        std::function<std::string(const WorldOnDisk&)> record;
    };
    const auto linux_to_windows = [](std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    };
    const Case cases[] = {
        {"through Z:, the Linux root the prefix no longer has",
         [&](const WorldOnDisk& t) {
             return "Z:" + linux_to_windows(t.world_.local_app_data + "/L/launcher.exe");
         }},
        {"the same in lower case",
         [&](const WorldOnDisk& t) {
             return "z:" + linux_to_windows(t.world_.local_app_data + "/L/launcher.exe");
         }},
        {"a letter the run does not give",
         [](const WorldOnDisk&) { return std::string("D:\\Local\\L\\launcher.exe"); }},
        {"a .. step at the exe's drive's root stays on that drive, as on Windows",
         [](const WorldOnDisk& t) {
             std::filesystem::create_directories(t.dir_ / "downloads");
             return std::string("X:\\..\\Local\\L\\launcher.exe");
         }},
        {"Wine's own way to any Linux path",
         [&](const WorldOnDisk& t) {
             return "\\\\?\\unix" + linux_to_windows(t.world_.local_app_data + "/L/launcher.exe");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        WorldOnDisk w;
        const std::string record = c.record(w);
        w.Install(record, w.digests_.launcher_jar);
        // The file the record means is there, on the Linux side.
        ASSERT_TRUE(std::filesystem::exists(w.world_.local_app_data + "/L/launcher.exe"));
        const SetupContract contract = CheckSetupContract(w.world_, w.digests_);
        EXPECT_EQ(contract.problems,
                  std::vector<std::string>{"the launcher record names a missing file: " + record});
        EXPECT_EQ(contract.exe_digest, std::nullopt);
    }
}

// ---- Paths between the world's drives and Linux ----

// A world kept inside the folder of the exe, as `try X.exe --keep w` makes
// it; the watcher where the tools package installs it.
TryWorld WorldOfDrives() {
    TryWorld world;
    world.root = "/home/u/dl/keep";
    world.prefix = "/home/u/.cache/korvanthelm/wine-prefix";
    world.drives = TryDrivesOf(world.root, "/home/u/dl/KORVANTHELM.exe",
                               "/usr/share/korvanthelm/korvanthelm-watcher.exe");
    return world;
}

TEST(TryWorldPaths, WindowsPathGoesThroughTheClosestDriveAndBack) {
    struct Case {
        const char* why;
        std::string unix_path;
        std::string windows_path;
    };
    const Case cases[] = {
        {"the world's root", "/home/u/dl/keep", "W:\\"},
        {"TEMP", "/home/u/dl/keep/temp", "W:\\temp"},
        {"deeper, every slash turned", "/home/u/dl/keep/Local/L/app/x.jar",
         "W:\\Local\\L\\app\\x.jar"},
        {"the exe, in the folder that holds the world", "/home/u/dl/KORVANTHELM.exe",
         "X:\\KORVANTHELM.exe"},
        {"a name that starts like the world's root is not in it", "/home/u/dl/keepsake",
         "X:\\keepsake"},
        {"the watcher", "/usr/share/korvanthelm/korvanthelm-watcher.exe",
         "Y:\\korvanthelm-watcher.exe"},
    };
    const TryWorld world = WorldOfDrives();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(WindowsPath(world, c.unix_path), c.windows_path);
        EXPECT_EQ(UnixPath(world, c.windows_path), c.unix_path);
    }
    for (const char* outside : {"/home/u/other.txt", "/home/u/dlx/KORVANTHELM.exe", "/",
                                "/usr/share/korvanthelm-other/x"}) {
        SCOPED_TRACE(outside);
        EXPECT_THROW(WindowsPath(world, outside), PackError);
    }
}

TEST(TryWorldPaths, UnixPathOnlyForTheDrivesTheRunGives) {
    struct Case {
        const char* windows_path;
        std::optional<std::string> unix_path;
    };
    const std::string prefix = "/home/u/.cache/korvanthelm/wine-prefix";
    const Case cases[] = {
        {"W:\\temp\\a.txt", "/home/u/dl/keep/temp/a.txt"},
        {"w:\\temp\\a.txt", "/home/u/dl/keep/temp/a.txt"},
        {"X:\\KORVANTHELM.exe", "/home/u/dl/KORVANTHELM.exe"},
        {"x:\\KORVANTHELM.exe", "/home/u/dl/KORVANTHELM.exe"},
        {"Y:\\korvanthelm-watcher.exe", "/usr/share/korvanthelm/korvanthelm-watcher.exe"},
        {"y:\\korvanthelm-watcher.exe", "/usr/share/korvanthelm/korvanthelm-watcher.exe"},
        {"C:\\users\\u\\x.txt", prefix + "/drive_c/users/u/x.txt"},
        {"c:\\windows", prefix + "/drive_c/windows"},
        {"W:\\", "/home/u/dl/keep"},
        {"W:\\a..b\\..c", "/home/u/dl/keep/a..b/..c"},  // dots inside a name are no step
        {"W:\\a\\\\b\\", "/home/u/dl/keep/a/b"},        // doubled and trailing backslashes
        // Steps as Windows takes them: never above the drive's root, so
        // never out of the folder the drive gives.
        {"W:\\..\\..\\etc\\passwd", "/home/u/dl/keep/etc/passwd"},
        {"W:\\temp\\.\\a", "/home/u/dl/keep/temp/a"},
        {"W:\\temp\\..", "/home/u/dl/keep"},
        {"X:\\..", "/home/u/dl"},
        {"X:\\keep\\..\\..\\u\\.ssh\\id", "/home/u/dl/u/.ssh/id"},
        {"C:\\..\\..\\x", prefix + "/drive_c/x"},
        // Z: is gone from the prefix, in either case, to any folder.
        {"Z:\\home\\u\\dl\\keep\\temp", std::nullopt},
        {"z:\\home\\u\\dl\\keep\\temp", std::nullopt},
        {"Z:\\", std::nullopt},
        // Letters the run does not give, and characters that are no letter.
        {"D:\\x", std::nullopt},
        {"V:\\x", std::nullopt},
        {"7:\\x", std::nullopt},
        {"@:\\x", std::nullopt},
        {"[:\\x", std::nullopt},
        {"\xD7:\\x", std::nullopt},
        // Forms that are no drive path.
        {"", std::nullopt},
        {"W:", std::nullopt},
        {"W:x", std::nullopt},
        {"W:/temp", std::nullopt},
        {"W\\temp", std::nullopt},
        {"\\temp\\x", std::nullopt},
        {"\\\\?\\unix\\home\\u\\x", std::nullopt},
        {"\\\\?\\W:\\temp", std::nullopt},
        {"\\\\server\\share\\x", std::nullopt},
    };
    const TryWorld world = WorldOfDrives();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.windows_path);
        EXPECT_EQ(UnixPath(world, c.windows_path), c.unix_path);
    }
}

// An exe kept in / has nothing smaller than the root to be given: its drive
// is the root, and the paths on it are the Linux paths.
TEST(TryWorldPaths, AnExeInTheRootGetsTheRootAsItsDrive) {
    TryWorld world;
    world.root = "/tmp/w";
    world.drives = TryDrivesOf(world.root, "/KORVANTHELM.exe", "/usr/share/k/w.exe");
    EXPECT_EQ(WindowsPath(world, "/KORVANTHELM.exe"), "X:\\KORVANTHELM.exe");
    EXPECT_EQ(WindowsPath(world, "/tmp/w/temp"), "W:\\temp");
    EXPECT_EQ(UnixPath(world, "X:\\KORVANTHELM.exe"), "/KORVANTHELM.exe");
    EXPECT_EQ(UnixPath(world, "X:\\etc\\passwd"), "/etc/passwd");
    EXPECT_EQ(UnixPath(world, "X:\\"), "/");
}

// An exe beside the watcher: two letters give one folder, and the run's
// paths name the exe's, the first, so that every report of the same run
// reads alike.
TEST(TryWorldPaths, OneFolderOnTwoLettersIsNamedByTheFirst) {
    TryWorld world;
    world.root = "/tmp/w";
    world.drives = TryDrivesOf(world.root, "/opt/k/KORVANTHELM.exe", "/opt/k/w.exe");
    EXPECT_EQ(WindowsPath(world, "/opt/k/KORVANTHELM.exe"), "X:\\KORVANTHELM.exe");
    EXPECT_EQ(WindowsPath(world, "/opt/k/w.exe"), "X:\\w.exe");
    EXPECT_EQ(UnixPath(world, "Y:\\w.exe"), "/opt/k/w.exe");
}

// ---- The run's drives in the prefix ----

// The links in a prefix's dosdevices, by name, and where each leads.
std::map<std::string, std::string> Links(const std::string& prefix) {
    std::map<std::string, std::string> links;
    for (const auto& entry : std::filesystem::directory_iterator(prefix + "/dosdevices")) {
        links[entry.path().filename().string()] =
            entry.is_symlink() ? std::filesystem::read_symlink(entry.path()).string() : "(no link)";
    }
    return links;
}

// A prefix as wineboot leaves it, plus what a run killed outright left.
struct PrefixOnDisk {
    PrefixOnDisk() {
        std::filesystem::create_directories(prefix_ + "/dosdevices");
        std::filesystem::create_directory_symlink("../drive_c", prefix_ + "/dosdevices/c:");
        std::filesystem::create_directory_symlink("/", prefix_ + "/dosdevices/z:");
        std::filesystem::create_symlink("/dev/ttyS0", prefix_ + "/dosdevices/com1");
        std::filesystem::create_directory_symlink("/old/world", prefix_ + "/dosdevices/w:");
    }
    TempDir dir_;
    std::string prefix_ = dir_ / "wine-prefix";
};

TEST(TryDrives, ARunHasItsLettersAndNoZAndTakesThemAway) {
    PrefixOnDisk p;
    const std::vector<TryDrive> drives =
        TryDrivesOf("/tmp/korvanthelm-try-1", "/home/u/dl/KORVANTHELM.exe", "/KORVANTHELM.exe");
    MapTryDrives(p.prefix_, drives);
    const std::map<std::string, std::string> mapped = {{"c:", "../drive_c"},
                                                       {"com1", "/dev/ttyS0"},
                                                       {"w:", "/tmp/korvanthelm-try-1"},
                                                       {"x:", "/home/u/dl"},
                                                       {"y:", "/"}};
    EXPECT_EQ(Links(p.prefix_), mapped);
    // Again, as the next run does: the letters replaced, nothing added.
    MapTryDrives(p.prefix_, drives);
    EXPECT_EQ(Links(p.prefix_), mapped);
    UnmapTryDrives(p.prefix_);
    const std::map<std::string, std::string> unmapped = {{"c:", "../drive_c"},
                                                         {"com1", "/dev/ttyS0"}};
    EXPECT_EQ(Links(p.prefix_), unmapped);
    UnmapTryDrives(p.prefix_);  // twice: nothing to remove is no fault
    EXPECT_EQ(Links(p.prefix_), unmapped);
}

TEST(TryDrives, ALetterThatCannotBeLinkedIsNamedAndNoneIsLeft) {
    PrefixOnDisk p;
    // A folder where a letter goes: not try's to remove.
    std::filesystem::create_directories(p.prefix_ + "/dosdevices/x:/inside");
    try {
        MapTryDrives(p.prefix_, TryDrivesOf("/w", "/x/K.exe", "/y/w.exe"));
        FAIL() << "no refusal";
    } catch (const PackError& error) {
        EXPECT_TRUE(std::string(error.what())
                        .starts_with("cannot remove " + p.prefix_ + "/dosdevices/x:: "))
            << error.what();
    }
    const std::map<std::string, std::string> left = {
        {"c:", "../drive_c"}, {"com1", "/dev/ttyS0"}, {"x:", "(no link)"}};
    EXPECT_EQ(Links(p.prefix_), left);
    EXPECT_TRUE(std::filesystem::exists(p.prefix_ + "/dosdevices/x:/inside"));
}

// A letter whose link cannot be made takes the letters linked before it
// away again: a refused run leaves no drive to its folders.
TEST(TryDrives, ALinkThatCannotBeMadeTakesTheOthersAway) {
    PrefixOnDisk p;
    // Longer than a link's target may be (ENAMETOOLONG), after two good ones.
    const std::vector<TryDrive> drives = {
        {'w', "/tmp/w"}, {'x', "/tmp/x"}, {'y', "/" + std::string(5000, 'y')}};
    try {
        MapTryDrives(p.prefix_, drives);
        FAIL() << "no refusal";
    } catch (const PackError& error) {
        EXPECT_TRUE(std::string(error.what())
                        .starts_with("cannot make the link " + p.prefix_ + "/dosdevices/y:: "))
            << error.what();
    }
    const std::map<std::string, std::string> left = {{"c:", "../drive_c"}, {"com1", "/dev/ttyS0"}};
    EXPECT_EQ(Links(p.prefix_), left);
}

// Taking the letters away goes on past one it cannot remove: the others
// still lead nowhere once the run is over.
TEST(TryDrives, UnmappingGoesOnPastALetterItCannotRemove) {
    PrefixOnDisk p;
    std::filesystem::remove(p.prefix_ + "/dosdevices/w:");
    std::filesystem::create_directories(p.prefix_ + "/dosdevices/w:/inside");
    std::filesystem::create_directory_symlink("/x", p.prefix_ + "/dosdevices/x:");
    std::filesystem::create_directory_symlink("/y", p.prefix_ + "/dosdevices/y:");
    UnmapTryDrives(p.prefix_);
    const std::map<std::string, std::string> left = {
        {"c:", "../drive_c"}, {"com1", "/dev/ttyS0"}, {"w:", "(no link)"}, {"z:", "/"}};
    EXPECT_EQ(Links(p.prefix_), left);
}

// ---- The home shield: what stays writable in the user's home ----

struct ShieldCase {
    const char* why;
    std::vector<std::string> allowed;
    std::vector<std::string> mounts;
    std::vector<std::string> writable;
    std::vector<std::string> read_only_mounts;
};

TEST(TryShield, OnlyTheRunsFoldersInsideTheHomeStayWritable) {
    const std::string home = "/home/al";
    const ShieldCase cases[] = {
        {"folders outside the home are left out",
         {"/tmp/korvanthelm-try-1", "/usr/share/korvanthelm", "/home/alice/dl", "/home", "/"},
         {},
         {},
         {}},
        {"the home itself is never writable as a whole",
         {"/home/al", "/home/al/dl"},
         {},
         {"/home/al/dl"},
         {}},
        {"an exe in the root has an empty drive folder",
         {"", "/home/al/.cache/korvanthelm"},
         {},
         {"/home/al/.cache/korvanthelm"},
         {}},
        {"a folder inside another is bound once, whichever comes first",
         {"/home/al/k/x", "/home/al/k", "/home/al/k/x/y", "/home/al/k"},
         {},
         {"/home/al/k"},
         {}},
        {"a name that only starts like another's is beside it, not inside",
         {"/home/al/dl2", "/home/al/dl", "/home/al/d", "/home/al/dl-x/y"},
         {},
         {"/home/al/d", "/home/al/dl", "/home/al/dl-x/y", "/home/al/dl2"},
         {}},
        {"mounts inside the home are made read-only, once, unless a writable folder holds them",
         {"/home/al/.cache/korvanthelm", "/tmp/w"},
         {"/", "/home", "/home/al", "/home/al/data", "/home/al/.cache",
          "/home/al/.cache/korvanthelm", "/home/al/.cache/korvanthelm/tmp", "/home/alice/x",
          "/home/al/data", "/home/al/data/inner"},
         {"/home/al/.cache/korvanthelm"},
         {"/home/al/data", "/home/al/.cache", "/home/al/data/inner"}},
    };
    for (const ShieldCase& c : cases) {
        const ReadOnlyView view = HomeShieldView(home, c.allowed, c.mounts);
        EXPECT_EQ(view.folder, home) << c.why;
        EXPECT_EQ(view.writable, c.writable) << c.why;
        EXPECT_EQ(view.mounts, c.read_only_mounts) << c.why;
    }
}

// The view made for real, as `try` makes it for Wine: a program started
// with it writes in the run's folders and nowhere else in the home, a file
// system mounted inside the home included; and every program started with
// it is in the same namespaces (Wine's server may reach into the memory of
// the Wine processes of its own user namespace only).
TEST(TryShield, ProgramsWriteInTheHomeOnlyWhereTheViewAllows) {
    TempDir dir;
    const std::string home = std::filesystem::canonical(dir.path()).string() + "/home";
    std::filesystem::create_directories(home + "/run/deeper");
    std::filesystem::create_directories(home + "/other");
    // A blank in its path: the mount table writes it as \040.
    const test::MountedTmpfs mounted(home + "/mounted disk", 1 << 20);
    const ReadOnlyView view = HomeShieldView(home, {home + "/run"}, MountPoints());
    // Skipped only where the system makes no view at all; once it makes the
    // plainest one, this one must be made too.
    HeldReadOnlyView held;
    std::string cause;
    if (!HeldReadOnlyView().Make(ReadOnlyView{home, {}, {}}, cause)) {
        GTEST_SKIP() << "this system makes no such view: " << cause;
    }
    ASSERT_TRUE(held.Make(view, cause)) << cause;
    TimedRunRequest request;
    // Each write by its own path, the last one after the refused ones.
    request.argv = {
        "sh", "-c",
        "echo 1 > run/deeper/a; echo 2 > other/b; echo 3 > c; echo 4 > 'mounted disk/d';"
        " echo 5 > run/e; readlink /proc/self/ns/user /proc/self/ns/mnt > run/first"};
    request.working_directory = home;
    request.output = dir / "output.txt";
    request.time_limit = std::chrono::seconds(30);
    request.view = &held;
    const TimedRun run = RunWithTimeLimit(request);
    EXPECT_FALSE(run.timed_out);
    EXPECT_TRUE(std::filesystem::exists(home + "/run/deeper/a"));
    EXPECT_TRUE(std::filesystem::exists(home + "/run/e"));
    EXPECT_FALSE(std::filesystem::exists(home + "/other/b"));
    EXPECT_FALSE(std::filesystem::exists(home + "/c"));
    if (mounted.mounted()) {
        EXPECT_EQ(view.mounts, std::vector<std::string>{home + "/mounted disk"});
        EXPECT_FALSE(std::filesystem::exists(home + "/mounted disk/d"));
    }
    // Refused by the file system, not by permissions: root is refused too.
    const std::vector<std::byte> output = test::ReadFile(dir / "output.txt");
    const std::string said(reinterpret_cast<const char*>(output.data()), output.size());
    EXPECT_NE(said.find("Read-only file system"), std::string::npos) << said;
    // A second program, with no folder asked for: where the caller is, in
    // the same namespaces as the first, which are not the caller's.
    request.argv = {"sh", "-c", "readlink /proc/self/ns/user /proc/self/ns/mnt > second"};
    request.working_directory.clear();
    const std::filesystem::path caller = std::filesystem::current_path();
    std::filesystem::current_path(home + "/run");
    RunWithTimeLimit(request);
    std::filesystem::current_path(caller);
    const auto text = [](const std::string& path) {
        const std::vector<std::byte> bytes = test::ReadFile(path);
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    EXPECT_FALSE(text(home + "/run/first").empty());
    EXPECT_EQ(text(home + "/run/second"), text(home + "/run/first"));
    const std::string own_mount_namespace = std::filesystem::read_symlink("/proc/self/ns/mnt");
    EXPECT_EQ(text(home + "/run/first").find(own_mount_namespace), std::string::npos);
    // The caller's own view is as it was.
    WriteFile(home + "/c", "written by the caller");
    EXPECT_TRUE(std::filesystem::exists(home + "/c"));
}

// ---- The judge, over the three starts ----

// A world where the set-up program did its part, and three starts that
// behaved; each case spoils one thing.
struct JudgedWorld : WorldOnDisk {
    std::string Setup(const char* mode) const {
        return "\"" + WindowsPath(world_, world_.temp) + format::kWorkDirectoryPath +
               "0123456789abcdef0123456789abcdef\\KORVANTHELM\\KORVANTHELM.exe\" " + mode;
    }
    std::string Launcher() const { return "\"" + LauncherFolder() + "\\launcher.exe\""; }

    TryResult GoodRun() const {
        TryResult result;
        result.timeout = std::chrono::seconds(60);
        const std::string traces[] = {
            Trace({Start(10, 0, "k"), Start(11, 10, Setup("--setup")), Exit(11, 0), Exit(10, 0)}),
            Trace({Start(20, 0, "k"), Start(21, 20, Launcher()), Exit(20, 0)}),
            Trace({Start(30, 0, "k"), Start(31, 30, Setup("--update")), Exit(31, 0), Exit(30, 0)}),
        };
        for (std::size_t i = 0; i < std::size(kTryStarts); ++i) {
            StartVerdict start;
            start.start = kTryStarts[i];
            start.ran = true;
            start.outcome = ParseWatcherTrace(traces[i]);
            result.starts.push_back(start);
        }
        SetupContract contract;
        contract.record = LauncherFolder() + "\\launcher.exe";
        result.contract = contract;
        return result;
    }
};

TEST(TryJudge, VerdictsOnEachStart) {
    struct Case {
        const char* why;
        std::function<void(JudgedWorld&, TryResult&)> spoil;
        bool ok;
        std::vector<std::vector<std::string>> faults;  // per start
        std::string second_road;
    };
    const Case cases[] = {
        {"everything behaved", [](JudgedWorld&, TryResult&) {}, true, {{}, {}, {}}, "handed over"},
        {"the first start showed a box and failed",
         [](JudgedWorld&, TryResult& r) {
             r.starts[0].outcome = ParseWatcherTrace(
                 Trace({Start(10, 0, "k"), Box(10, "KORVANTHELM", "Не удалось"), Exit(10, 1)}));
         },
         false,
         {{"message box \"KORVANTHELM\": Не удалось", "exit code 1, not 0",
           "the set-up program was not started"},
          {},
          {}},
         "handed over"},
        {"the set-up program got the wrong mode and failed",
         [](JudgedWorld& t, TryResult& r) {
             r.starts[0].outcome =
                 ParseWatcherTrace(Trace({Start(10, 0, "k"), Start(11, 10, t.Setup("--update")),
                                          Exit(11, 2), Exit(10, 0)}));
         },
         false,
         {{"the set-up program got \"--update\", not --setup",
           "the set-up program ended with exit code 2"},
          {},
          {}},
         "handed over"},
        {"a work directory was left in TEMP",
         [](JudgedWorld&, TryResult& r) {
             r.starts[2].outcome.work_directories_left = {"korvanthelm-setup-x"};
         },
         false,
         {{}, {}, {"work directory left behind in TEMP: korvanthelm-setup-x"}},
         "handed over"},
        {"the second start unpacked again for the contract's first problem",
         [](JudgedWorld& t, TryResult& r) {
             r.contract->problems = {"the launcher jar is missing: x", "second"};
             r.starts[1].outcome = ParseWatcherTrace(Trace(
                 {Start(20, 0, "k"), Start(21, 20, t.Setup("--setup")), Exit(21, 0), Exit(20, 0)}));
         },
         false,
         {{}, {"unpacked again, because the launcher jar is missing: x"}, {}},
         "unpacked again, because the launcher jar is missing: x"},
        {"the second start handed over to another program",
         [](JudgedWorld&, TryResult& r) {
             r.starts[1].outcome = ParseWatcherTrace(
                 Trace({Start(20, 0, "k"), Start(21, 20, "\"C:\\other.exe\""), Exit(20, 0)}));
         },
         false,
         {{}, {"handed over to \"C:\\other.exe\", not the recorded launcher"}, {}},
         "handed over"},
        {"the second start started nothing",
         [](JudgedWorld&, TryResult& r) {
             r.starts[1].outcome = ParseWatcherTrace(Trace({Start(20, 0, "k"), Exit(20, 0)}));
         },
         false,
         {{}, {"neither handed over nor unpacked"}, {}},
         "neither handed over nor unpacked"},
        {"the update request was left behind",
         [](JudgedWorld& t, TryResult&) {
             WriteFile(AppDataPath(t.world_, format::kUpdateRequestPath), "");
         },
         false,
         {{},
          {},
          {"update.request is still there: the set-up program run with --update must "
           "remove it"}},
         "handed over"},
        {"the first start timed out and the others did not run",
         [](JudgedWorld&, TryResult& r) {
             r.starts[0].outcome.timed_out = true;
             for (std::size_t i : {1, 2}) {
                 r.starts[i] = StartVerdict();
                 r.starts[i].start = kTryStarts[i];
             }
         },
         false,
         {{"did not end within 60 s: try ended it"}, {}, {}},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        JudgedWorld fresh;
        TryResult result = fresh.GoodRun();
        c.spoil(fresh, result);
        JudgeStarts(fresh.world_, result);
        EXPECT_EQ(result.ok, c.ok);
        ASSERT_EQ(result.starts.size(), c.faults.size());
        for (std::size_t i = 0; i < c.faults.size(); ++i) {
            EXPECT_EQ(result.starts[i].faults, c.faults[i]) << result.starts[i].start.name;
        }
        EXPECT_EQ(result.second_road, c.second_road);
    }
}

TEST(TryJudge, FindsTheSetupProgramAndItsArguments) {
    const JudgedWorld w;
    TryResult result = w.GoodRun();
    JudgeStarts(w.world_, result);
    ASSERT_TRUE(result.starts[0].setup);
    EXPECT_EQ(result.starts[0].setup->pid, 11u);
    EXPECT_EQ(result.starts[0].setup_arguments, "--setup");
    EXPECT_FALSE(result.starts[0].launcher);
    EXPECT_EQ(WorkDirectoryState(result.starts[0]), "removed");
    ASSERT_TRUE(result.starts[1].launcher);
    EXPECT_EQ(result.starts[1].launcher->pid, 21u);
    EXPECT_EQ(WorkDirectoryState(result.starts[1]), "none");
    EXPECT_FALSE(result.starts[2].update_request_left);
}

TEST(TryJudge, ARunWithoutTheContractReadIsNeverOk) {
    const JudgedWorld w;
    TryResult result = w.GoodRun();
    result.contract.reset();
    JudgeStarts(w.world_, result);
    EXPECT_FALSE(result.ok);
}

}  // namespace
}  // namespace korvanthelm::pack
