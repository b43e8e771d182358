// What the installed-launcher fast path costs: from the call of
// TryStartInstalledLauncher to the launcher's process being started, against
// hashing the launcher's two files alone, measured in the same run,
// alternating, so whatever else the machine does hits both alike.
//
//   fast_path_bench WORK_FOLDER [--rounds N] [--fixture FOLDER]
//
// The installation is the build's fixture (bin\fast_path_fixture: a ~1 MB
// launcher exe, a 34 MB jar and the build mark; their digests are compiled
// in). WORK_FOLDER (made when missing) gets the application-data folder with
// the launcher record that points at it.
//
// Subject: TryStartInstalledLauncher with the real FileMatchesDigest and
// StartLauncherProcess (wrapped only to read the clock around each call): the
// record and the build mark read, both files hashed, the launcher started
// without waiting. It ends when the call returns; the moment the launcher
// itself starts running (it notes QueryPerformanceCounter first thing) is
// printed beside it.
// Floor: FileMatchesDigest on the exe, then on the jar.
// Also, for scale: ComputeSha256Text of both files' bytes already in memory.
//
// After each subject round, outside the timed region, the benchmark waits for
// the launcher to signal and to end, so no launcher outlives its round.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/windows_bench.h"
#include "bench/fast_path/bench_signal.h"
#include "bootstrap/installed_launcher.h"
#include "package/package_digests.h"
#include "platform/failure_message.h"
#include "platform/launcher_process.h"
#include "platform/sha256.h"
#include "platform/unique_resource.h"

namespace {

namespace kh = korvanthelm;
namespace bench = korvanthelm::bench;

constexpr DWORD kLauncherTimeoutMs = 30000;

using bench::Frequency;
using bench::Median;
using bench::Now;
using bench::PrintWide;
using bench::Ticks;

[[noreturn]] void Fail(const std::wstring& what) {
    bench::FailBenchmark(L"fast_path_bench", what);
}

std::vector<std::byte> ReadWholeFile(const std::wstring& path) {
    return bench::ReadWholeFile(L"fast_path_bench", path);
}

void WriteUtf8File(const std::wstring& path, const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    const kh::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file ||
        !WriteFile(file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) ||
        written != utf8.size()) {
        Fail(L"cannot write " + path);
    }
}

void EnsureFolder(const std::wstring& path) {
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        Fail(L"cannot create " + path);
    }
}

std::wstring FolderOfThisProgram() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return kh::LauncherWorkingDirectory(path);
}

// The launcher's side of a round: it writes into the mapping and sets the
// event; the benchmark then waits for the process itself to end.
class LauncherWatch {
  public:
    LauncherWatch() {
        const std::wstring base =
            L"Local\\korvanthelm-fast-path-bench-" + std::to_wstring(GetCurrentProcessId());
        mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(bench::LauncherSignal),
                                          (base + bench::kMappingSuffix).c_str()));
        event_.reset(CreateEventW(nullptr, /*manual_reset=*/FALSE, /*initial=*/FALSE,
                                  (base + bench::kEventSuffix).c_str()));
        if (!mapping_ || !event_) {
            Fail(L"cannot create the launcher's signal objects");
        }
        signal_ = static_cast<bench::LauncherSignal*>(MapViewOfFile(
            mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(bench::LauncherSignal)));
        if (signal_ == nullptr) {
            Fail(L"cannot map the launcher's signal");
        }
        // Inherited by every process this one starts, the launcher included.
        SetEnvironmentVariableW(bench::kSignalVariable, base.c_str());
    }
    ~LauncherWatch() { UnmapViewOfFile(signal_); }

    // The QueryPerformanceCounter value the launcher noted when it began,
    // once it has signalled and ended.
    std::int64_t WaitForLauncher() {
        if (WaitForSingleObject(event_.get(), kLauncherTimeoutMs) != WAIT_OBJECT_0) {
            Fail(L"the launcher did not report that it started");
        }
        const std::int64_t started = signal_->started;
        // A launcher that has ended already cannot be opened: nothing to wait for.
        const kh::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, signal_->process_id));
        if (process && WaitForSingleObject(process.get(), kLauncherTimeoutMs) != WAIT_OBJECT_0) {
            Fail(L"the launcher did not end");
        }
        return started;
    }

  private:
    kh::UniqueHandle mapping_;
    kh::UniqueHandle event_;
    bench::LauncherSignal* signal_ = nullptr;
};

struct SubjectTimes {
    double total = 0;     // the call of TryStartInstalledLauncher
    double exe_hash = 0;  // FileMatchesDigest on the exe
    double jar_hash = 0;  // FileMatchesDigest on the jar
    double start = 0;     // StartLauncherProcess
    double running = 0;   // from the call to the launcher's first instruction
    double Rest() const { return total - exe_hash - jar_hash - start; }
};

SubjectTimes RunSubject(const std::wstring& app_data, LauncherWatch& watch) {
    SubjectTimes times;
    int hashed = 0;
    // The real services, with the clock read around each call.
    const kh::InstalledLauncherServices services{
        [&](const std::wstring& path, const wchar_t* expected) {
            const double start = Now();
            const bool matches = kh::FileMatchesDigest(path, expected);
            (hashed++ == 0 ? times.exe_hash : times.jar_hash) = Now() - start;
            return matches;
        },
        [&](const std::wstring& application, const std::wstring& argument, bool wait) {
            const double start = Now();
            const std::uint32_t result = kh::StartLauncherProcess(application, argument, wait);
            times.start = Now() - start;
            return result;
        }};
    const std::int64_t begin = Ticks();
    bool started = false;
    try {
        started = kh::TryStartInstalledLauncher(app_data, services);
    } catch (const kh::FailureMessage& message) {
        Fail(L"the fast path failed: " + message);
    }
    const std::int64_t end = Ticks();
    if (!started) {
        Fail(
            L"the fast path did not start the launcher (a stale fixture? rebuild fast_path_bench)");
    }
    const std::int64_t running = watch.WaitForLauncher();
    times.total = static_cast<double>(end - begin) / Frequency();
    times.running = static_cast<double>(running - begin) / Frequency();
    return times;
}

double RunFloor(const std::wstring& exe, const std::wstring& jar) {
    const double start = Now();
    const bool exe_matches = kh::FileMatchesDigest(exe, kh::kLauncherExeDigest);
    const bool jar_matches = kh::FileMatchesDigest(jar, kh::kLauncherJarDigest);
    const double elapsed = Now() - start;
    if (!exe_matches || !jar_matches) {
        Fail(L"floor: the files do not match their digests");
    }
    return elapsed;
}

double RunHashInMemory(const std::vector<std::byte>& exe, const std::vector<std::byte>& jar) {
    const double start = Now();
    const bool matches = kh::DigestTextMatches(kh::ComputeSha256Text(exe.data(), exe.size()),
                                               kh::kLauncherExeDigest) &&
                         kh::DigestTextMatches(kh::ComputeSha256Text(jar.data(), jar.size()),
                                               kh::kLauncherJarDigest);
    const double elapsed = Now() - start;
    if (!matches) {
        Fail(L"in-memory hash: the bytes do not match their digests");
    }
    return elapsed;
}

int Run(int argc, wchar_t** argv) {
    std::wstring base;
    std::wstring fixture = FolderOfThisProgram() + L"\\fast_path_fixture";
    int rounds = 21;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--rounds" && i + 1 < argc) {
            rounds = std::max(1, _wtoi(argv[++i]));
        } else if (arg == L"--fixture" && i + 1 < argc) {
            fixture = argv[++i];
        } else if (base.empty() && !arg.empty() && arg[0] != L'-') {
            base = arg;
        } else {
            Fail(L"usage: fast_path_bench WORK_FOLDER [--rounds N] [--fixture FOLDER]");
        }
    }
    if (base.empty()) {
        Fail(L"usage: fast_path_bench WORK_FOLDER [--rounds N] [--fixture FOLDER]");
    }
    const std::wstring exe = fixture + L"\\KorvanThelm.exe";
    const std::wstring jar = fixture + L"\\app\\KorvanThelm.jar";

    // The record, as the set-up program leaves it.
    const std::wstring app_data = base + L"\\appdata";
    EnsureFolder(base);
    EnsureFolder(app_data);
    EnsureFolder(app_data + L"\\KORVANTHELM");
    WriteUtf8File(app_data + L"\\KORVANTHELM\\launcher.path", exe + L"\r\n");

    // Also brings both files into the page cache before the first round.
    const std::vector<std::byte> exe_bytes = ReadWholeFile(exe);
    const std::vector<std::byte> jar_bytes = ReadWholeFile(jar);
    LauncherWatch watch;

    std::printf("installed launcher: exe %zu bytes, jar %zu bytes\n", exe_bytes.size(),
                jar_bytes.size());
    std::printf("rounds: %d, order rotating; milliseconds, wall clock\n", rounds);
    std::printf(
        "round  subject [rest exe jar start] (launcher running)   floor   in-memory   ratio\n");
    std::fflush(stdout);

    std::vector<double> subject, subject_rest, subject_exe, subject_jar, subject_start, running;
    std::vector<double> floor, memory, ratios, beyond_hashing;
    for (int round = 0; round < rounds; ++round) {
        SubjectTimes s;
        double f = 0;
        double m = 0;
        for (int k = 0; k < 3; ++k) {
            switch ((k + round) % 3) {
                case 0:
                    s = RunSubject(app_data, watch);
                    break;
                case 1:
                    f = RunFloor(exe, jar);
                    break;
                default:
                    m = RunHashInMemory(exe_bytes, jar_bytes);
                    break;
            }
        }
        subject.push_back(s.total);
        subject_rest.push_back(s.Rest());
        subject_exe.push_back(s.exe_hash);
        subject_jar.push_back(s.jar_hash);
        subject_start.push_back(s.start);
        running.push_back(s.running);
        floor.push_back(f);
        memory.push_back(m);
        ratios.push_back(s.total / f);
        beyond_hashing.push_back(s.Rest() + s.start);
        std::printf("%5d  %7.1f [%.1f %.1f %.1f %.1f] (%.1f)   %7.1f   %7.1f   %.3f\n", round + 1,
                    s.total * 1e3, s.Rest() * 1e3, s.exe_hash * 1e3, s.jar_hash * 1e3,
                    s.start * 1e3, s.running * 1e3, f * 1e3, m * 1e3, ratios.back());
        std::fflush(stdout);
    }

    std::printf("\nmedians (ms)\n");
    std::printf("  subject, TryStartInstalledLauncher returned  %8.1f\n", Median(subject) * 1e3);
    std::printf("    record + build mark + rest                  %8.1f\n",
                Median(subject_rest) * 1e3);
    std::printf("    FileMatchesDigest exe                       %8.1f\n",
                Median(subject_exe) * 1e3);
    std::printf("    FileMatchesDigest jar                       %8.1f\n",
                Median(subject_jar) * 1e3);
    std::printf("    StartLauncherProcess                        %8.1f\n",
                Median(subject_start) * 1e3);
    std::printf("  launcher running (its first instruction)     %8.1f\n", Median(running) * 1e3);
    std::printf("  floor, FileMatchesDigest exe + jar           %8.1f\n", Median(floor) * 1e3);
    std::printf("  SHA-256 of both in memory                    %8.1f\n", Median(memory) * 1e3);
    std::printf("ratio subject/floor: %.3f of the medians, %.3f median of the rounds\n",
                Median(subject) / Median(floor), Median(ratios));
    std::printf("ratio launcher running/floor: %.3f of the medians\n",
                Median(running) / Median(floor));
    // The subject makes the floor's two calls plus the rest; on a busy machine
    // the hashing swings by a third from round to round, while the rest is steady.
    const double beyond = Median(beyond_hashing);
    std::printf(
        "subject beyond its two FileMatchesDigest calls (record, build mark, start):"
        " %.1f ms; floor + that over floor: %.3f\n",
        beyond * 1e3, (Median(floor) + beyond) / Median(floor));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return korvanthelm::bench::RunBenchmark("fast_path_bench", Run, argc, argv);
}
