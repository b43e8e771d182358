// How long the bootstrapper takes to remove its work directory after the
// set-up program, against the floor: the least work that removes the same
// tree. Measured in the same run, alternating who goes first.
//
//   cleanup_bench PACKAGE WORK_FOLDER [--rounds N]
//
// PACKAGE is a package file made by korvanthelm-pack. Every round unpacks it
// with WritePackageEntries into three fresh folders under WORK_FOLDER (on
// the disk being measured), outside the timed region, and then removes one
// tree with each of:
//   subject:   RemoveDirectoryTree, the bootstrapper's removal pass;
//   floor:     FindFirstFileW/FindNextFileW, DeleteFileW for each file,
//              RemoveDirectoryW for each folder, nothing else;
//   reset-all: the floor plus SetFileAttributesW(FILE_ATTRIBUTE_NORMAL)
//              before every DeleteFileW, which is what the removal pass did
//              before it looked at the listed attributes first.
// Before each timed removal the disk is synced (SyncLinuxDisk) and left
// alone for 300 ms. Every removal must leave nothing, or the run gives up.
// Times are wall-clock; the ratios subject/floor and reset-all/floor are
// printed per round and as medians.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/common/windows_bench.h"
#include "package/extract_package.h"
#include "package/load_package_table.h"
#include "platform/sha256.h"
#include "platform/unique_resource.h"
#include "platform/work_directory.h"

namespace {

namespace kh = korvanthelm;
using kh::bench::Median;
using kh::bench::Now;

[[noreturn]] void Fail(const std::wstring& what) {
    kh::bench::FailBenchmark(L"cleanup_bench", what);
}

bool IsDotEntry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// The floor: enumerate, delete, remove; with `reset_first`, every file's
// attributes reset before its deletion.
void RemoveTreePlainly(const std::wstring& path, bool reset_first) {
    WIN32_FIND_DATAW entry;
    const kh::UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (find) {
        do {
            if (IsDotEntry(entry.cFileName)) {
                continue;
            }
            const std::wstring entry_path = path + L'\\' + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTreePlainly(entry_path, reset_first);
            } else {
                if (reset_first) {
                    SetFileAttributesW(entry_path.c_str(), FILE_ATTRIBUTE_NORMAL);
                }
                DeleteFileW(entry_path.c_str());
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    RemoveDirectoryW(path.c_str());
}

enum Side { kSubject, kFloor, kResetAll, kSides };
const char* const kSideNames[kSides] = {"subject", "floor", "reset-all"};

double TimedRemoval(Side side, const std::wstring& path) {
    kh::bench::SyncLinuxDisk();
    Sleep(/*milliseconds=*/300);
    const double start = Now();
    if (side == kSubject) {
        kh::RemoveDirectoryTree(path);
    } else {
        RemoveTreePlainly(path, side == kResetAll);
    }
    const double seconds = Now() - start;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        const std::string name = kSideNames[side];
        Fail(L"the " + std::wstring(name.begin(), name.end()) + L" side left " + path);
    }
    return seconds;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 3) {
        Fail(L"usage: cleanup_bench PACKAGE WORK_FOLDER [--rounds N]");
    }
    int rounds = 7;
    kh::bench::ParseNumberOptions(L"cleanup_bench", argc, argv, 3, {{L"--rounds", &rounds}});
    const std::wstring work = argv[2];
    CreateDirectoryW(work.c_str(), nullptr);
    const std::vector<std::byte> package = kh::bench::ReadWholeFile(L"cleanup_bench", argv[1]);
    const std::wstring digest = kh::ComputeSha256Text(package.data(), package.size());
    kh::PackageTable table;
    try {
        table = kh::DecodePackageResource(
            {true, package.data(), static_cast<std::uint32_t>(package.size())}, digest.c_str(),
            [&](const std::byte*, std::uint64_t) { return digest; }, kh::LoadCompressionApi);
    } catch (const std::wstring& message) {
        Fail(L"the package does not decode: " + message);
    }
    std::printf("package %zu bytes, %u entries; wall seconds per removal\n", package.size(),
                table.entry_count);
    std::printf("round  subject   floor  reset-all  subject/floor  reset-all/floor\n");

    std::vector<double> times[kSides], subject_ratios, reset_ratios;
    for (int round = 0; round < rounds; ++round) {
        std::wstring trees[kSides];
        for (int side = 0; side < kSides; ++side) {
            trees[side] = work + L"\\" + std::wstring(kSideNames[side], kSideNames[side] + 1) +
                          L"-" + std::to_wstring(round + 1);
            if (GetFileAttributesW(trees[side].c_str()) != INVALID_FILE_ATTRIBUTES) {
                kh::RemoveDirectoryTree(trees[side]);
            }
            if (!CreateDirectoryW(trees[side].c_str(), nullptr)) {
                Fail(L"cannot create " + trees[side]);
            }
            try {
                kh::WritePackageEntries(table, trees[side]);
            } catch (const std::wstring& message) {
                Fail(L"cannot unpack into " + trees[side] + L": " + message);
            }
        }
        double seconds[kSides] = {};
        // Rotate who goes first.
        for (int step = 0; step < kSides; ++step) {
            const auto side = static_cast<Side>((round + step) % kSides);
            seconds[side] = TimedRemoval(side, trees[side]);
            times[side].push_back(seconds[side]);
        }
        subject_ratios.push_back(seconds[kSubject] / seconds[kFloor]);
        reset_ratios.push_back(seconds[kResetAll] / seconds[kFloor]);
        std::printf("%5d  %7.3f %7.3f  %9.3f  %13.3f  %15.3f\n", round + 1, seconds[kSubject],
                    seconds[kFloor], seconds[kResetAll], subject_ratios.back(),
                    reset_ratios.back());
        std::fflush(stdout);
    }
    const double subject = Median(times[kSubject]), floor = Median(times[kFloor]),
                 reset_all = Median(times[kResetAll]);
    std::printf("medians: subject %.3f s, floor %.3f s, reset-all %.3f s\n", subject, floor,
                reset_all);
    std::printf("subject/floor: %.3f of the medians, %.3f median of the rounds\n", subject / floor,
                Median(subject_ratios));
    std::printf("reset-all/floor: %.3f of the medians, %.3f median of the rounds\n",
                reset_all / floor, Median(reset_ratios));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return kh::bench::RunBenchmark("cleanup_bench", Run, argc, argv);
}
