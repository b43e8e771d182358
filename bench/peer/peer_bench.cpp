// Our whole run against a peer installer's silent extraction of the same
// launcher tree, in one run under Wine, alternating who goes first.
//
//   peer_bench OUR_EXE PEER_INSTALLER WORK_FOLDER [--rounds N] [--settle SECONDS]
//
// OUR_EXE is KORVANTHELM.exe around the tree's package, whose set-up program
// (peer_setup) writes the performance counter at its first instruction to a
// file. It runs with TEMP, APPDATA and LOCALAPPDATA inside WORK_FOLDER (no
// installed launcher there, so it unpacks), and is timed from CreateProcessW
//   (a) to the set-up program's first instruction, and
//   (b) to its own exit: unpacking, the set-up program and the clean-up.
// PEER_INSTALLER is run as "PEER_INSTALLER /S /D=<folder>", silent extraction
// only, (c) from CreateProcessW to its exit; its folders are kept until the
// end. Every run must exit with 0 within 10 minutes, ours must leave TEMP
// empty, and the peer's folder must hold files, or the run gives up. Before
// each timed run the disk is synced and left alone for a second, and with
// --settle for that many seconds when files were removed since the last
// wait (the first run always waits): this machine's ext4 (no journal)
// rescans recently freed inodes for every new file for up to 360 s, which
// punishes whichever run follows our clean-up (see extract_bench). After
// that wait, the time of one request to Wine's server is read.
// Wall-clock seconds; per round and medians, with both ratios, both file
// sizes and the readings.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/common/windows_bench.h"
#include "platform/unique_resource.h"
#include "platform/work_directory.h"

namespace {

namespace kh = korvanthelm;
using kh::bench::Median;
using kh::bench::Now;

[[noreturn]] void Fail(const std::wstring& what) {
    kh::bench::FailBenchmark(L"peer_bench", what);
}

std::uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        Fail(L"cannot read the size of " + path);
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool FolderIsEmpty(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const kh::UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (!find) {
        return true;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            return false;
        }
    } while (FindNextFileW(find.get(), &entry));
    return true;
}

// This process's environment with `changes` replacing variables of the same
// names, as a block for CreateProcessW.
std::wstring EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
    std::wstring block;
    const wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* at = strings; *at != L'\0'; at += wcslen(at) + 1) {
        const std::wstring entry = at;
        bool replaced = false;
        for (const auto& [name, value] : changes) {
            replaced = replaced || (entry.size() > name.size() && entry[name.size()] == L'=' &&
                                    _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0);
        }
        if (!replaced) {
            block += entry + L'\0';
        }
    }
    FreeEnvironmentStringsW(const_cast<wchar_t*>(strings));
    for (const auto& [name, value] : changes) {
        block += name + L'=' + value + L'\0';
    }
    return block + L'\0';
}

// Our run is mostly requests to Wine's server (three per file written, two per
// file removed), the peer's mostly LZMA decoding: how long one request takes
// on this machine at that moment moves our time far more than the peer's, so
// every timed run is preceded by a reading of it.
double ServerRequestMicroseconds() {
    const kh::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        Fail(L"cannot create an event");
    }
    constexpr int kRequests = 20000;
    const double started = Now();
    for (int i = 0; i < kRequests; ++i) {
        WaitForSingleObject(event.get(), 0);  // a round trip to the server
    }
    return (Now() - started) * 1e6 / kRequests;
}

int g_settle_seconds = 0;
double g_last_request_reading = 0;  // taken before the last timed run
// Files were just removed as far as we know: the script replaces its copy of
// the tree right before, so the first timed run waits as well.
bool g_removed_since_settling = true;

// Runs `command_line` to its end; returns the seconds from CreateProcessW
// to its exit, the start time in `started`.
double RunToEnd(std::wstring command_line, const std::wstring* environment, double& started) {
    kh::bench::SyncLinuxDisk();
    if (g_removed_since_settling && g_settle_seconds > 0) {
        std::printf("(waiting %d s after a removal)\n", g_settle_seconds);
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(g_settle_seconds) * 1000);
    }
    g_removed_since_settling = false;
    g_last_request_reading = ServerRequestMicroseconds();
    Sleep(/*milliseconds=*/1000);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    started = Now();
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE,
                        environment ? CREATE_UNICODE_ENVIRONMENT : 0,
                        environment ? const_cast<wchar_t*>(environment->c_str()) : nullptr, nullptr,
                        &startup, &process)) {
        Fail(L"cannot start " + command_line);
    }
    const kh::UniqueHandle process_handle(process.hProcess);
    const kh::UniqueHandle thread_handle(process.hThread);
    // A failure message box would wait for ever: give up instead.
    if (WaitForSingleObject(process.hProcess, 10 * 60 * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        Fail(L"no end within 10 minutes: " + command_line);
    }
    const double ended = Now();
    DWORD exit_code = 1;
    GetExitCodeProcess(process.hProcess, &exit_code);
    if (exit_code != 0) {
        Fail(L"exit code " + std::to_wstring(exit_code) + L": " + command_line);
    }
    return ended - started;
}

struct Ours {
    double to_setup, whole;
};

Ours RunOurs(const std::wstring& exe, const std::wstring& work) {
    const std::wstring temp = work + L"\\temp";
    const std::wstring marker = work + L"\\setup-started.bin";
    DeleteFileW(marker.c_str());
    const std::wstring environment =
        EnvironmentBlock({{L"TEMP", temp},
                          {L"TMP", temp},
                          {L"APPDATA", work + L"\\appdata"},
                          {L"LOCALAPPDATA", work + L"\\localappdata"},
                          {L"KORVANTHELM_BENCH_SETUP_STARTED", marker}});
    double started = 0;
    const double whole = RunToEnd(L"\"" + exe + L"\"", &environment, started);
    g_removed_since_settling = true;  // our run ends by removing its work directory
    const std::vector<std::byte> counter = kh::bench::ReadWholeFile(L"peer_bench", marker);
    if (counter.size() != sizeof(std::int64_t)) {
        Fail(L"the set-up program left no start time in " + marker);
    }
    std::int64_t setup_ticks = 0;
    std::memcpy(&setup_ticks, counter.data(), sizeof(setup_ticks));
    if (!FolderIsEmpty(temp)) {
        Fail(L"our run left files in " + temp);
    }
    return {static_cast<double>(setup_ticks) / kh::bench::Frequency() - started, whole};
}

double RunPeer(const std::wstring& installer, const std::wstring& folder) {
    double started = 0;
    // /D must come last and unquoted.
    const double whole = RunToEnd(L"\"" + installer + L"\" /S /D=" + folder, nullptr, started);
    if (FolderIsEmpty(folder)) {
        Fail(L"the peer installer wrote nothing to " + folder);
    }
    return whole;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 4) {
        Fail(L"usage: peer_bench OUR_EXE PEER_INSTALLER WORK_FOLDER [--rounds N] [--settle S]");
    }
    int rounds = 5;
    kh::bench::ParseNumberOptions(L"peer_bench", argc, argv, 4,
                                  {{L"--rounds", &rounds}, {L"--settle", &g_settle_seconds}});
    const std::wstring ours = argv[1], peer = argv[2], work = argv[3];
    for (const std::wstring& folder :
         {work, work + L"\\temp", work + L"\\appdata", work + L"\\localappdata"}) {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            Fail(L"cannot create " + folder);
        }
    }
    const std::uint64_t our_size = FileSize(ours), peer_size = FileSize(peer);
    std::printf("sizes: ours %llu bytes, peer %llu bytes (ours/peer %.4f)\n",
                static_cast<unsigned long long>(our_size),
                static_cast<unsigned long long>(peer_size),
                static_cast<double>(our_size) / static_cast<double>(peer_size));
    std::printf(
        "round  ours to set-up  ours whole  peer  | to-set-up/peer  whole/peer"
        " | server request us (ours, peer)\n");
    std::vector<double> to_setup, whole, peer_times, setup_ratios, whole_ratios, requests;
    for (int round = 0; round < rounds; ++round) {
        Ours o{};
        double p = 0;
        const std::wstring folder = work + L"\\peer-" + std::to_wstring(round + 1);
        double our_request = 0, peer_request = 0;
        if (round % 2 == 0) {
            o = RunOurs(ours, work);
            our_request = g_last_request_reading;
            p = RunPeer(peer, folder);
            peer_request = g_last_request_reading;
        } else {
            p = RunPeer(peer, folder);
            peer_request = g_last_request_reading;
            o = RunOurs(ours, work);
            our_request = g_last_request_reading;
        }
        requests.push_back(our_request);
        requests.push_back(peer_request);
        to_setup.push_back(o.to_setup);
        whole.push_back(o.whole);
        peer_times.push_back(p);
        setup_ratios.push_back(o.to_setup / p);
        whole_ratios.push_back(o.whole / p);
        std::printf("%5d  %14.3f  %10.3f  %6.3f | %14.3f  %10.3f | %5.1f  %5.1f\n", round + 1,
                    o.to_setup, o.whole, p, setup_ratios.back(), whole_ratios.back(), our_request,
                    peer_request);
        std::fflush(stdout);
    }
    const double s = Median(to_setup), w = Median(whole), p = Median(peer_times);
    std::printf("medians: ours to set-up %.3f s, ours whole %.3f s, peer %.3f s\n", s, w, p);
    std::printf("to set-up / peer: %.3f of the medians, %.3f median of the rounds\n", s / p,
                Median(setup_ratios));
    std::printf("whole / peer: %.3f of the medians, %.3f median of the rounds\n", w / p,
                Median(whole_ratios));
    std::printf("server request: %.1f us, median of the readings before the timed runs\n",
                Median(requests));
    for (int round = 0; round < rounds; ++round) {
        kh::RemoveDirectoryTree(work + L"\\peer-" + std::to_wstring(round + 1));
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return kh::bench::RunBenchmark("peer_bench", Run, argc, argv);
}
