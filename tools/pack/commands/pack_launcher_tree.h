// `korvanthelm-pack pack`: a launcher tree becomes the package file and the
// three digests the bootstrapper is built with.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/commands/pack_warning.h"
#include "tools/pack/compress/progress_display.h"

namespace korvanthelm::pack {

struct PackOptions {
    std::string tree;
    std::string output;
    // Empty: the demo tree's files. Otherwise used as given when absolute or
    // when it exists relative to the working folder, else taken inside `tree`.
    std::string launcher_exe;
    std::string launcher_jar;
    std::string digests_cmake;   // empty: not written
    std::string digests_header;  // empty: not written
    ProgressStyle progress = ProgressStyle::kNone;
    // Between plain progress lines (ProgressStyle::kLines).
    std::chrono::milliseconds progress_interval = kDefaultLineInterval;
    // Threads compressing the table's chunks; 0: one per core, fewer when the
    // memory available would not hold their compressors (see
    // ChooseCompressionJobs). The package is the same for every number.
    unsigned jobs = 0;
};

inline constexpr char kDefaultLauncherExe[] = "KORVANTHELM/launcher/KorvanThelmLauncher.exe";
inline constexpr char kDefaultLauncherJar[] = "KORVANTHELM/launcher/app/KorvanThelm.jar";

struct PackResult {
    std::string package_digest;
    std::string launcher_exe_digest;
    std::string launcher_jar_digest;
    std::uint64_t entry_count;
    std::uint64_t table_size;
    std::uint64_t package_size;
};

struct PackedTree {
    std::vector<std::byte> package;
    std::vector<std::byte> table;  // what `package` was read back to, with the decoder
    PackResult result;
    std::vector<PackageEntrySummary> entries;  // the table's, in table order
};

// What a command judges of the table before it is compressed: `table` read
// from the tree and checked, `entries` its entries in table order. May throw
// (a refusal, or a warning under --strict), which ends the run before the
// compression.
using TableJudge = std::function<void(std::span<const std::byte> table,
                                      const std::vector<PackageEntrySummary>& entries)>;

// What PackLauncherTree makes, in memory, nothing written: the tree scanned
// and refused as there, also when it holds no set-up program
// (KORVANTHELM/KORVANTHELM.exe, ASCII case ignored); the folder of every
// output in `options` is checked (RequireWritableOutputFolder) right after
// the scan; the table read and checked, entry paths too long for a long
// TEMP warned of (PathLimitWarning) and `judge` asked, all before the table
// is compressed; the package then decoded again and checked. Throws
// PackError on any failure.
PackedTree PackTreeInMemory(const PackOptions& options, const WarnFunction& warn,
                            const TableJudge& judge = {});

// The threads to compress a table of `table_size` bytes on: `jobs` when
// given, else one per core, fewer when the memory available would not hold
// their compressors (then `warn` is told, kJobsLoweredForMemory).
unsigned ChooseJobs(unsigned jobs, std::size_t table_size, const WarnFunction& warn);

// The package (envelope around the compressed table) made with `jobs`
// threads, the chunks shown as they go as `options` ask (progress and its
// interval; nothing else of `options` is used).
std::vector<std::byte> CompressWithProgress(std::span<const std::byte> table, unsigned jobs,
                                            const PackOptions& options);

// An output inside the tree would be packed by the next run: the package
// would carry its predecessor and never come out the same twice. Throws
// PackError when `output` lies inside `tree`.
void RefuseOutputInsideTree(const std::string& output, const std::string& tree);

// Refuses an output that is also another output or an existing launcher
// file, and outputs inside the tree (the next run would pack them). Scans the
// tree (refusing what the bootstrapper or a player's disk would refuse, see
// ScanLauncherTree), digests the two launcher files, builds and compresses
// the table, checks that the package decodes with the bootstrapper's decoder to exactly that
// table and that the table passes the entry walk (CheckPackageTable), and
// only then writes the package and the digest files (all staged first, then
// each renamed into place). `warn` receives one warning per dropped empty
// folder, one when the default number of jobs was lowered for memory, and
// one when entry paths would pass Windows' classic path limit
// (PathLimitWarning); when it throws, nothing is written.
// Throws PackError on any failure; the output files are then left as they
// were.
PackResult PackLauncherTree(const PackOptions& options, const WarnFunction& warn);

}  // namespace korvanthelm::pack
