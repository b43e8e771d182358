// try's judging of what a player's machine would show, without Wine: crashes,
// what outlives a start and exact texts read from hand-written trace lines, and
// the prefix's registry compared from hand-written registry files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/pack/try/judge_start.h"
#include "tools/pack/try/registry_changes.h"
#include "tools/pack/try/run_one_start.h"
#include "tools/pack/try/try_starts.h"

namespace korvanthelm::pack {
namespace {

TEST(TryTrace, ReadsCrashesWhatOutlivedAndExactTexts) {
    const StartOutcome outcome = ParseWatcherTrace(
        "start\t10\t0\t\"Z:\\\\k\\\\KORVANTHELM.exe\"\n"
        "start\t11\t10\t\"C:\\\\a b\\\\setup.exe\" --setup\r\n"
        "box\t11\tKORVANTHELM\\t\x1b\tline one\\nline two\\r\\\\ \\x\n"
        "crash\t11\t2147483651\n"
        "exit\t11\t2147483651\n"
        "start\t12\t11\t\"C:\\\\a b\\\\setup.exe\" --linger\n"
        "exit\t10\t1\n"
        "ended\t12\n"
        "crash\t12\t5\tone field too many\n"
        "crash\t99\t5\n"
        "ended\n");
    ASSERT_EQ(outcome.processes.size(), 3u);
    EXPECT_EQ(outcome.processes[0].command_line, "\"Z:\\k\\KORVANTHELM.exe\"");
    EXPECT_EQ(outcome.processes[1].command_line, "\"C:\\a b\\setup.exe\" --setup");
    EXPECT_EQ(outcome.processes[1].crash, std::optional<std::uint32_t>(0x80000003));
    EXPECT_EQ(outcome.processes[1].exit_code, std::optional<std::uint32_t>(0x80000003));
    EXPECT_FALSE(outcome.processes[0].crash);
    EXPECT_FALSE(outcome.processes[0].outlived);
    EXPECT_TRUE(outcome.processes[2].outlived);
    EXPECT_FALSE(outcome.processes[2].crash);  // its line has a field too many
    EXPECT_EQ(outcome.exit_code, std::optional<std::uint32_t>(1));
    ASSERT_EQ(outcome.boxes.size(), 1u);
    EXPECT_EQ(outcome.boxes[0].caption, "KORVANTHELM\t\x1b");
    EXPECT_EQ(outcome.boxes[0].text, "line one\nline two\r\\ x");
}

// A start of made-up processes: the bootstrapper (1), the set-up program it
// unpacked (2), and more.
StartVerdict Start(const char* name, std::vector<StartedProcess> more) {
    StartVerdict start;
    for (const TryStart& row : kTryStarts) {
        if (row.name == name) {
            start.start = row;
        }
    }
    start.ran = true;
    start.outcome.exit_code = 0;
    start.outcome.processes = {{1, 0, "\"Z:\\k\\KORVANTHELM.exe\"", 0, std::nullopt, false}};
    for (StartedProcess& process : more) {
        start.outcome.processes.push_back(std::move(process));
    }
    return start;
}

// A world on no disk: the judge reads only names from it.
TryWorld JudgedWorld() {
    return {"/w",
            "/w/temp",
            "/nonexistent/Roaming",
            "/w/Local",
            "/p",
            TryDrivesOf("/w", "/x/KORVANTHELM.exe", "/y/korvanthelm-watcher.exe")};
}

constexpr char kSetup[] =
    "\"W:\\temp\\korvanthelm-setup-0123\\KORVANTHELM\\KORVANTHELM.exe\" --setup";
constexpr char kUpdate[] =
    "\"W:\\temp\\korvanthelm-setup-4567\\KORVANTHELM\\KORVANTHELM.exe\" --update";
constexpr char kLauncher[] = "\"W:\\Local\\L\\KorvanThelmLauncher.exe\"";

struct JudgeRow {
    const char* name;
    std::vector<StartVerdict> starts;
    // Each start's faults, and the second start's road.
    std::vector<std::vector<std::string>> faults;
    std::string second_road;
    std::vector<std::string> handed_over_to;  // ProgramOf each start's launcher, "" for none
};

TEST(TryJudge, CrashesAndWhatOutlivesAStartAreFaults) {
    const TryWorld world = JudgedWorld();
    const std::string crash =
        "the set-up program crashed: exception 0x80000003 (a breakpoint nobody handled)";
    const std::string left = std::string("still running after the start, ended by try: ");
    const JudgeRow rows[] = {
        {"all well",
         {Start("first start", {{2, 1, kSetup, 0, std::nullopt, false}}),
          Start("second start", {{3, 1, kLauncher, 0, std::nullopt, false}}),
          Start("update start", {{4, 1, kUpdate, 0, std::nullopt, false}})},
         {{}, {}, {}},
         "handed over",
         {"", "W:\\Local\\L\\KorvanThelmLauncher.exe", ""}},
        {"the set-up program crashes after keeping the contract: named once, with its code",
         {Start("first start", {{2, 1, kSetup, 0x80000003, 0x80000003, false}}),
          Start("second start", {{3, 1, kLauncher, 0, std::nullopt, false}}),
          Start("update start", {{4, 1, kUpdate, 0xC0000005, 0xC0000005, false}})},
         {{crash}, {}, {"the set-up program crashed: exception 0xC0000005 (an access violation)"}},
         "handed over",
         {"", "W:\\Local\\L\\KorvanThelmLauncher.exe", ""}},
        {"a crash of an unknown code, of another process",
         {Start("first start", {{2, 1, kSetup, 0, std::nullopt, false},
                                {5, 2, "helper.exe", 0xC0001234, 0xC0001234, false}}),
          Start("second start", {{3, 1, kLauncher, 0, std::nullopt, false}}),
          Start("update start", {{4, 1, kUpdate, 0, std::nullopt, false}})},
         {{"helper.exe crashed: exception 0xC0001234"}, {}, {}},
         "handed over",
         {"", "W:\\Local\\L\\KorvanThelmLauncher.exe", ""}},
        {"left running by the set-up program; the launcher handed over to may run on",
         {Start("first start", {{2, 1, kSetup, 0, std::nullopt, false},
                                {5, 2, "\"x.exe\" --linger", std::nullopt, std::nullopt, true}}),
          Start("second start", {{3, 1, kLauncher, std::nullopt, std::nullopt, true}}),
          Start("update start", {{4, 1, kUpdate, 0, std::nullopt, false}})},
         {{left + "\"x.exe\" --linger"}, {}, {}},
         "handed over",
         {"", "W:\\Local\\L\\KorvanThelmLauncher.exe", ""}},
        {"the launcher outliving the first start is no launcher there",
         {Start("first start", {{2, 1, kSetup, 0, std::nullopt, false},
                                {5, 1, kLauncher, std::nullopt, std::nullopt, true}}),
          Start("second start", {{3, 1, kLauncher, 0, std::nullopt, false}}),
          Start("update start", {{4, 1, kUpdate, 0, std::nullopt, false}})},
         {{left + kLauncher}, {}, {}},
         "handed over",
         {"", "W:\\Local\\L\\KorvanThelmLauncher.exe", ""}},
    };
    for (const JudgeRow& row : rows) {
        TryResult result;
        result.timeout = std::chrono::seconds(60);
        result.starts = row.starts;
        result.contract = SetupContract{};
        JudgeStarts(world, result);
        for (std::size_t i = 0; i < row.faults.size(); ++i) {
            EXPECT_EQ(result.starts[i].faults, row.faults[i]) << row.name << ", start " << i;
            const auto& launcher = result.starts[i].launcher;
            EXPECT_EQ(launcher ? ProgramOf(launcher->command_line) : "", row.handed_over_to[i])
                << row.name << ", start " << i;
        }
        EXPECT_EQ(result.second_road, row.second_road) << row.name;
        const std::vector<std::vector<std::string>> none(3);
        EXPECT_EQ(result.ok, row.faults == none) << row.name;
    }
}

TEST(TryJudge, ASecondStartPastItsLimitDidNotEnd) {
    const TryWorld world = JudgedWorld();
    TryResult result;
    result.timeout = std::chrono::seconds(4);
    result.starts = {Start("first start", {{2, 1, kSetup, 0, std::nullopt, false}}),
                     Start("second start", {}), StartVerdict()};
    result.starts[2].start = kTryStarts[2];
    result.starts[1].outcome.timed_out = true;
    result.contract = SetupContract{};
    JudgeStarts(world, result);
    EXPECT_EQ(result.second_road, "did not end");
    EXPECT_FALSE(result.ok);
}

TEST(TryJudge, LinuxProgramsLeftRunningAreFaults) {
    const TryWorld world = JudgedWorld();
    TryResult result;
    result.starts = {Start("first start", {{2, 1, kSetup, 0, std::nullopt, false}}),
                     Start("second start", {{3, 1, kLauncher, 0, std::nullopt, false}}),
                     Start("update start", {{4, 1, kUpdate, 0, std::nullopt, false}})};
    result.starts[1].outcome.linux_processes_left = {"/bin/sleep 600"};
    result.contract = SetupContract{};
    JudgeStarts(world, result);
    EXPECT_EQ(
        result.starts[1].faults,
        std::vector<std::string>{"still running after the start, ended by try: /bin/sleep 600"});
    EXPECT_EQ(result.starts[1].outlived, std::vector<std::string>{"/bin/sleep 600"});
    EXPECT_FALSE(result.ok);
}

TEST(TryJudge, ProgramOfACommandLine) {
    EXPECT_EQ(ProgramOf("\"C:\\a b\\x.exe\" --setup"), "C:\\a b\\x.exe");
    EXPECT_EQ(ProgramOf("\"C:\\a b\\x.exe\""), "C:\\a b\\x.exe");
    EXPECT_EQ(ProgramOf("C:\\x.exe --setup"), "C:\\x.exe");
    EXPECT_EQ(ProgramOf("\"C:\\unclosed"), "C:\\unclosed");
    EXPECT_EQ(ProgramOf(""), "");
}

// What a run changed in the prefix's registry: each row two saved registry
// files (before, after) and the keys reported.
struct RegistryRow {
    const char* name;
    const char* before;
    const char* after;
    std::vector<std::string> changed;
};

constexpr char kHeader[] =
    "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21\n\n#arch=win64\n\n";

TEST(TryRegistry, ReportsWhatARunChangedAndNotWhatWineRewrites) {
    const std::string h = kHeader;
    const RegistryRow rows[] = {
        {"nothing changed",
         "[Software\\\\A] 1\n#time=1\n\"x\"=dword:00000001\n",
         "[Software\\\\A] 1\n#time=1\n\"x\"=dword:00000001\n",
         {}},
        {"Wine rewrote a key unchanged: new time and note only",
         "[Software\\\\Wine\\\\Fonts] 1796843527\n#time=1dd88112ee11530\n\"a\"=\"b\"\n",
         "[Software\\\\Wine\\\\Fonts] 1796843560\n#time=1dd881142c18c24\n\"a\"=\"b\"\n",
         {}},
        {"a key added",
         "",
         "[Software\\\\KorvanthelmTryOutside] 2\n#time=2\n\"written\"=dword:00000001\n",
         {"Software\\KorvanthelmTryOutside"}},
        {"an empty key added", "", "[Software\\\\Empty] 2\n#time=2\n", {"Software\\Empty"}},
        {"a value changed",
         "[Software\\\\A] 1\n\"x\"=dword:00000001\n",
         "[Software\\\\A] 1\n\"x\"=dword:00000002\n",
         {"Software\\A"}},
        {"a value added",
         "[Software\\\\A] 1\n\"x\"=dword:00000001\n",
         "[Software\\\\A] 1\n\"x\"=dword:00000001\n\"y\"=\"z\"\n",
         {"Software\\A"}},
        {"a value removed",
         "[Software\\\\A] 1\n\"x\"=dword:00000001\n@=\"d\"\n",
         "[Software\\\\A] 1\n@=\"d\"\n",
         {"Software\\A"}},
        {"a key with values removed",
         "[Software\\\\A] 1\n\"x\"=dword:00000001\n",
         "",
         {"Software\\A"}},
        {"an empty key gone: Wine's network card list",
         "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\NetworkCards] "
         "1\n#time=1\n\n[Software\\\\B] 1\n",
         "",
         {}},
        {"a continued value changed in its second line",
         "[Software\\\\A] 1\n\"h\"=hex:01,02,\\\n  03,04\n",
         "[Software\\\\A] 1\n\"h\"=hex:01,02,\\\n  03,05\n",
         {"Software\\A"}},
        {"a continued value written in other lines, the same bytes",
         "[Software\\\\A] 1\n\"h\"=hex:01,02,\\\n  03,04\n",
         "[Software\\\\A] 1\n\"h\"=hex:01,\\\n  02,03,04\n",
         {}},
        {"values in another order",
         "[Software\\\\A] 1\n\"x\"=\"1\"\n\"y\"=\"2\"\n",
         "[Software\\\\A] 1\n\"y\"=\"2\"\n\"x\"=\"1\"\n",
         {}},
        {"the display adapter Wine finds again, with a new date",
         "[System\\\\CurrentControlSet\\\\Control\\\\Class\\\\{4D36E968-E325-11CE-BFC1-"
         "08002BE10318}\\\\0000] 1\n\"DriverDateData\"=hex:e4,15\n",
         "[System\\\\CurrentControlSet\\\\Control\\\\Class\\\\{4D36E968-E325-11CE-BFC1-"
         "08002BE10318}\\\\0000] 2\n\"DriverDateData\"=hex:91,a3\n",
         {}},
        {"a service registered",
         "",
         "[System\\\\CurrentControlSet\\\\Services\\\\Updater] 2\n\"Start\"=dword:00000002\n",
         {"System\\CurrentControlSet\\Services\\Updater"}},
        {"CR LF line ends read as LF",
         "[Software\\\\A] 1\r\n\"x\"=\"1\"\r\n",
         "[Software\\\\A] 1\n\"x\"=\"1\"\n",
         {}},
    };
    for (const RegistryRow& row : rows) {
        EXPECT_EQ(
            ChangedRegistryKeys(ReadRegistryFile(h + row.before), ReadRegistryFile(h + row.after)),
            row.changed)
            << row.name;
    }
}

}  // namespace
}  // namespace korvanthelm::pack
