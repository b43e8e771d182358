// Shared by the packer's end-to-end tests: the includes they use, and small
// helpers to turn text into bytes and read a package back.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "format/package_table.h"
#include "tests/common/hostile_package_cases.h"
#include "tests/host/pack/pack_test_support.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/check_package_table.h"
#include "tools/pack/checks/find_unsigned_programs.h"
#include "tools/pack/compress/compress_package_table.h"
#include "tools/pack/compress/lzms_codec.h"
#include "tools/pack/compress/progress_display.h"
#include "tools/pack/compress/unpack_package.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/hashing.h"
#include "tools/pack/platform/unique_fd.h"
#include "tools/pack/signing/check_signer_result.h"
#include "tools/pack/signing/check_signing_prerequisites.h"
#include "tools/pack/tree/scan_launcher_tree.h"

namespace korvanthelm::pack {

using test::AddDefaultLauncherFiles;
using test::RandomBytes;
using test::ReadFile;
using test::RunPacker;
using test::RunResult;
using test::RunWindowsPacker;
using test::SameRefusalText;
using test::ScopedEnvironment;
using test::TempDir;
using test::WindowsPackerGiven;
using test::WriteFile;

using Bytes = std::vector<std::byte>;

inline Bytes B(const std::string& text) {
    return Bytes(reinterpret_cast<const std::byte*>(text.data()),
                 reinterpret_cast<const std::byte*>(text.data()) + text.size());
}

inline std::string S(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The files below `root` by relative path, as the bootstrapper should
// recreate them.
inline std::map<std::string, Bytes> FilesOf(const std::string& root) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[std::filesystem::relative(entry.path(), root).string()] =
                ReadFile(entry.path().string());
        }
    }
    return files;
}

// The entries of a package, in table order.
inline std::vector<std::pair<std::string, Bytes>> EntriesOf(const Bytes& package) {
    const Bytes table = UnpackPackage(package);
    const auto count = format::CheckPackageTableHeader(table);
    EXPECT_TRUE(count);
    std::vector<std::pair<std::string, Bytes>> entries;
    format::PackageRecordWalker walker(table);
    format::PackageRecord record;
    while (walker.Next(record)) {
        entries.emplace_back(S(record.path), Bytes(record.data.begin(), record.data.end()));
    }
    EXPECT_TRUE(walker.AtEnd());
    EXPECT_EQ(entries.size(), count.value_or(0));
    return entries;
}

// The digest lines of `pack`'s standard output.
inline std::map<std::string, std::string> DigestLines(const std::string& out) {
    std::map<std::string, std::string> lines;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            end = out.size();
        }
        const std::string line = out.substr(start, end - start);
        const std::size_t space = line.find(' ');
        if (space != std::string::npos) {
            lines[line.substr(0, space)] = line.substr(space + 1);
        }
        start = end + 1;
    }
    return lines;
}

// Every path below `root`, with a file's SHA-256, a link's target, "<folder>"
// or "<special>" (digests, so that a failure prints lines, not megabytes).
inline std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        if (entry.is_symlink()) {
            paths[path] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            paths[path] = "<folder>";
        } else if (!entry.is_regular_file()) {
            paths[path] = "<special>";  // a FIFO: reading it would wait for a writer
        } else {
            paths[path] = Sha256Text(ReadFile(path));
        }
    }
    return paths;
}

inline std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace korvanthelm::pack
