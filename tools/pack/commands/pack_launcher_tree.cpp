#include "tools/pack/commands/pack_launcher_tree.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/commands/longest_entry_path.h"
#include "tools/pack/compress/compress_package_table.h"
#include "tools/pack/compress/progress_display.h"
#include "tools/pack/compress/unpack_package.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/platform/hashing.h"
#include "tools/pack/tree/build_package_table.h"
#include "tools/pack/tree/scan_launcher_tree.h"

namespace korvanthelm::pack {
namespace {

std::string ResolveLauncherFile(const std::string& given, const char* fallback,
                                const std::string& tree, const char* option) {
    std::string path;
    if (given.empty()) {
        path = tree + "/" + fallback;
    } else if (given.front() == '/' || PathExists(given)) {
        path = given;
    } else {
        path = tree + "/" + given;
    }
    if (!PathExists(path)) {
        throw PackError("launcher file not found: \"" + path + "\" (name it with " + option + ")");
    }
    return path;
}

std::span<const std::byte> AsBytes(std::string_view text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

// The table walked back must list exactly the scanned files, in order.
void CheckTableHoldsTree(const std::vector<PackageEntrySummary>& entries,
                         const LauncherTree& tree) {
    if (entries.size() != tree.files.size()) {
        throw PackError("internal error: the table does not hold the tree's files");
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].path != tree.files[i].path || entries[i].size != tree.files[i].size) {
            throw PackError("internal error: table entry " + std::to_string(i + 1) +
                            " does not match the tree");
        }
    }
}

}  // namespace

unsigned ChooseJobs(unsigned jobs, std::size_t table_size, const WarnFunction& warn) {
    if (jobs != 0) {
        return jobs;
    }
    // Read now, with the table in memory, since the table is the one thing
    // the compressors must fit beside.
    const unsigned cores = UsableCores();
    const std::optional<std::uint64_t> available = AvailableMemory();
    const JobChoice choice = ChooseCompressionJobs(table_size, cores, available);
    if (choice.lowered_for_memory) {
        warn({kJobsLoweredForMemory,
              {},
              "compressing with " + std::to_string(choice.jobs) + " job(s) for " +
                  std::to_string(cores) + " cores: each needs " +
                  std::to_string(CompressionMemoryPerJob(table_size) >> 20) + " MiB, " +
                  std::to_string(available.value_or(0) >> 20) +
                  " MiB are available (--jobs N chooses)"});
    }
    return choice.jobs;
}

std::vector<std::byte> CompressWithProgress(std::span<const std::byte> table, unsigned jobs,
                                            const PackOptions& options) {
    CompressionSettings settings;
    settings.jobs = jobs;
    const std::size_t chunks = (table.size() + format::kLzmsChunkSize - 1) / format::kLzmsChunkSize;
    ProgressDisplay progress(table.size(), chunks,
                             static_cast<unsigned>(std::min<std::size_t>(jobs, chunks)),
                             options.progress, options.progress_interval);
    const CompressionEvents events{
        [&](std::size_t index, std::uint64_t bytes) { progress.ChunkStarted(index, bytes); },
        [&](std::size_t index, std::uint64_t) { progress.ChunkFinished(index); }};
    const std::vector<std::byte> stream = CompressPackageTable(table, settings, events);
    return format::WritePackageEnvelope(table.size(), stream);
}

void RefuseOutputInsideTree(const std::string& output, const std::string& tree) {
    // An unusable tree is reported by the scan, not here.
    if (PathLiesInside(output, tree)) {
        throw PackError("output \"" + output + "\" is inside the launcher tree \"" + tree +
                        "\"; write it elsewhere");
    }
}

PackedTree PackTreeInMemory(const PackOptions& options, const WarnFunction& warn,
                            const TableJudge& judge) {
    const LauncherTree tree = ScanLauncherTree(options.tree);
    std::vector<std::string_view> paths;
    for (const TreeFile& file : tree.files) {
        paths.push_back(file.path);
    }
    RequireSetupProgram(paths, "launcher tree \"" + options.tree + "\"");
    for (const std::string& folder : tree.dropped_directories) {
        warn({kEmptyFolderDropped, folder,
              "empty folder dropped, a package holds files only: \"" + PrintablePath(folder) +
                  "\""});
    }
    // Digested before the long compression so a missing file fails at once.
    PackedTree packed{};
    PackResult& result = packed.result;
    result.launcher_exe_digest = FileSha256Text(ResolveLauncherFile(
        options.launcher_exe, kDefaultLauncherExe, options.tree, "--launcher-exe"));
    result.launcher_jar_digest = FileSha256Text(ResolveLauncherFile(
        options.launcher_jar, kDefaultLauncherJar, options.tree, "--launcher-jar"));
    for (const std::string* output :
         {&options.output, &options.digests_cmake, &options.digests_header}) {
        if (!output->empty()) {
            RequireWritableOutputFolder(*output);
        }
    }

    std::vector<std::byte> table = BuildPackageTable(options.tree, tree);
    // What the table already decides is said before the minute of
    // compression, so that --strict and the commands' own judges refuse at
    // once rather than after it.
    const std::vector<PackageEntrySummary> entries = CheckPackageTable(table);
    CheckTableHoldsTree(entries, tree);
    if (const std::optional<std::string> long_paths = PathLimitWarning(entries)) {
        warn({kLongPath, LongestEntryPath(entries), *long_paths});
    }
    if (judge) {
        judge(table, entries);
    }
    packed.package =
        CompressWithProgress(table, ChooseJobs(options.jobs, table.size(), warn), options);
    const std::vector<std::byte>& package = packed.package;

    // The package is what gets shipped, so it is read back the way the
    // bootstrapper will read it, with an independent decoder, before it is
    // reported good.
    CheckPackageDecodesTo(package, table);
    packed.entries = entries;

    result.package_digest = Sha256Text(package);
    result.entry_count = entries.size();
    result.table_size = table.size();
    result.package_size = package.size();
    packed.table = std::move(table);
    return packed;
}

PackResult PackLauncherTree(const PackOptions& options, const WarnFunction& warn) {
    RefuseOutputsThatShareAFile(
        std::vector<NamedPath>{{"-o", options.output},
                               {"--digests-cmake", options.digests_cmake},
                               {"--digests-header", options.digests_header}},
        std::vector<NamedPath>{{"--launcher-exe", options.launcher_exe},
                               {"--launcher-jar", options.launcher_jar}});
    for (const std::string* output :
         {&options.output, &options.digests_cmake, &options.digests_header}) {
        if (!output->empty()) {
            RefuseOutputInsideTree(*output, options.tree);
        }
    }
    const PackedTree packed = PackTreeInMemory(options, warn);
    const PackResult& result = packed.result;
    const std::vector<std::byte>& package = packed.package;

    std::vector<std::unique_ptr<StagedFile>> outputs;
    outputs.push_back(std::make_unique<StagedFile>(options.output, package));
    if (!options.digests_cmake.empty()) {
        const std::string text =
            "# Digests of a package made by korvanthelm-pack; included by the build.\n"
            "set(KORVANTHELM_PACKAGE_SHA256 \"" +
            result.package_digest +
            "\")\n"
            "set(KORVANTHELM_LAUNCHER_EXE_SHA256 \"" +
            result.launcher_exe_digest +
            "\")\n"
            "set(KORVANTHELM_LAUNCHER_JAR_SHA256 \"" +
            result.launcher_jar_digest + "\")\n";
        outputs.push_back(std::make_unique<StagedFile>(options.digests_cmake, AsBytes(text)));
    }
    if (!options.digests_header.empty()) {
        const std::string text =
            "// Digests of a package made by korvanthelm-pack.\n"
            "#pragma once\n"
            "#define KORVANTHELM_PACKAGE_SHA256 \"" +
            result.package_digest +
            "\"\n"
            "#define KORVANTHELM_LAUNCHER_EXE_SHA256 \"" +
            result.launcher_exe_digest +
            "\"\n"
            "#define KORVANTHELM_LAUNCHER_JAR_SHA256 \"" +
            result.launcher_jar_digest + "\"\n";
        outputs.push_back(std::make_unique<StagedFile>(options.digests_header, AsBytes(text)));
    }
    for (const auto& output : outputs) {
        output->Commit();
    }
    return result;
}

}  // namespace korvanthelm::pack
