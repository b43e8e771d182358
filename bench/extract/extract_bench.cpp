// How long the bootstrapper takes to unpack its package, against the floor:
// the same digest, the same decompression and the same files written with
// plain calls, measured in the same run, alternating, so whatever else the
// machine does hits both alike.
//
//   extract_bench PACKAGE WORK_FOLDER [--rounds N] [--explain]
//                 [--wait-after-removal SECONDS] [--keep-trees]
//
// PACKAGE is a package file made by korvanthelm-pack. WORK_FOLDER (made when
// missing) is on the disk being measured; every round unpacks into fresh
// folders under it, and they are removed after the round, outside the timed
// region. Before each timed run the disk is settled (see DiskSettler): under
// Wine that includes a 365 s wait after every removal, so a default run of 5
// rounds takes about half an hour; --keep-trees removes them all at the end
// instead and needs no wait.
//
// Subject: DecodePackageResource on the package bytes (SHA-256 through the
// system's bcrypt.dll, decompression through System32's cabinet.dll, the
// table allocated and its header checked), then WritePackageEntries into a
// fresh work directory, then the table released: what ExtractPackage does,
// with the package read from a file instead of the exe's resource.
// Floor: ComputeSha256Text over the same bytes; the same Decompress call on
// the same buffer into an uninitialised buffer; every entry written with
// CreateFileW + one WriteFile, each folder created once, nothing checked.
//
// --explain adds rounds that time only the writing of the entries, in
// variants that add the bootstrapper's per-entry folder work to the floor one
// piece at a time, and the bootstrapper's in-memory path checks alone; they
// tell where a difference in the write phase comes from.
//
// Times are wall-clock (QueryPerformanceCounter). Beside them, CPU time of
// this process and of Wine's server (see WineServerClock): on a busy machine
// wall time mostly measures the neighbours, CPU time the work itself.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/common/windows_bench.h"
#include "format/little_endian.h"
#include "format/package_path_rules.h"
#include "format/package_table.h"
#include "package/compression_api.h"
#include "package/entry_folders.h"
#include "package/extract_package.h"
#include "package/load_package_table.h"
#include "platform/failure_message.h"
#include "platform/sha256.h"
#include "platform/unique_resource.h"
#include "platform/work_directory.h"

namespace {

namespace kh = korvanthelm;
namespace fmt = korvanthelm::format;

constexpr std::uint32_t kLzmsAlgorithm = 5;  // COMPRESS_ALGORITHM_LZMS

// ---- Output ------------------------------------------------------------------

[[noreturn]] void Fail(const std::wstring& what) {
    korvanthelm::bench::FailBenchmark(L"extract_bench", what);
}

std::vector<std::byte> ReadWholeFile(const std::wstring& path) {
    return korvanthelm::bench::ReadWholeFile(L"extract_bench", path);
}

using korvanthelm::bench::Median;
using korvanthelm::bench::Now;

// ---- Time --------------------------------------------------------------------

double ProcessCpuSeconds() {
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
        return 0;
    }
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) *
               1e-7;
    };
    return seconds(kernel) + seconds(user);
}

// Under Wine, much of the file system work of this process happens in Wine's
// server process (it opens and creates files and folders for its clients),
// so CPU time is counted there too, read from Linux's /proc through drive Z:.
// Wall-clock time on a busy machine mostly measures the neighbours; the CPU
// time of both processes is what the work itself costs.
class WineServerClock {
  public:
    WineServerClock() {
        std::wstring prefix(4096, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix.data(),
                                                     static_cast<DWORD>(prefix.size()));
        if (length == 0 || length >= prefix.size()) {
            return;
        }
        prefix.resize(length);
        const std::string wanted = "WINEPREFIX=" + Utf8(prefix);
        WIN32_FIND_DATAW found;
        const kh::UniqueFind find(FindFirstFileW(L"Z:\\proc\\*", &found));
        if (!find) {
            return;
        }
        do {
            const std::wstring name = found.cFileName;
            if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) {
                continue;
            }
            const std::string command = ReadProcFile(L"Z:\\proc\\" + name + L"\\cmdline");
            const std::string program = command.substr(0, command.find('\0'));
            if (program.find("wineserver") == std::string::npos) {
                continue;
            }
            const std::string environment = ReadProcFile(L"Z:\\proc\\" + name + L"\\environ");
            if (('\0' + environment + '\0').find('\0' + wanted + '\0') != std::string::npos) {
                stat_path_ = L"Z:\\proc\\" + name + L"\\stat";
                break;
            }
        } while (FindNextFileW(find.get(), &found));
    }

    bool found() const { return !stat_path_.empty(); }

    // utime + stime of the server, in seconds (10 ms steps); 0 when not found.
    double Seconds() const {
        if (stat_path_.empty()) {
            return 0;
        }
        const std::string stat = ReadProcFile(stat_path_);
        // Fields after the command name in parentheses; utime and stime are
        // the 14th and 15th fields, in 1/100 s.
        std::size_t at = stat.rfind(')');
        if (at == std::string::npos) {
            return 0;
        }
        unsigned long long ticks[2] = {};
        int field = 2;
        while (field < 15 && at != std::string::npos) {
            at = stat.find(' ', at + 1);
            ++field;
            if (field >= 14 && at != std::string::npos) {
                ticks[field - 14] = std::strtoull(stat.c_str() + at + 1, nullptr, 10);
            }
        }
        return static_cast<double>(ticks[0] + ticks[1]) / 100.0;
    }

  private:
    static std::string Utf8(const std::wstring& text) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                            size, nullptr, nullptr);
        return utf8;
    }

    // /proc files report size 0: read until the end.
    static std::string ReadProcFile(const std::wstring& path) {
        const kh::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string text;
        if (!file) {
            return text;
        }
        char buffer[4096];
        DWORD read = 0;
        while (text.size() < (1u << 20) &&
               ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read != 0) {
            text.append(buffer, read);
        }
        return text;
    }

    std::wstring stat_path_;
};

const WineServerClock& ServerClock() {
    static const WineServerClock clock;
    return clock;
}

// CPU seconds so far: this process, and Wine's server.
struct CpuSample {
    double process = 0;
    double server = 0;
};

CpuSample SampleCpu() {
    return CpuSample{ProcessCpuSeconds(), ServerClock().Seconds()};
}

CpuSample CpuSince(const CpuSample& start) {
    const CpuSample now = SampleCpu();
    return CpuSample{now.process - start.process, now.server - start.server};
}

// ---- Files -------------------------------------------------------------------

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

using korvanthelm::bench::RunningUnderWine;

// Keeps one timed run from paying for the disk work of what came before it.
//
// Before every run: under Wine, the Linux sync(2) system call (SyncLinuxDisk),
// so no run pays for writing back what an earlier run left dirty in the page
// cache.
//
// Removed trees need more. ext4 without a journal (this machine's disk) will
// not reuse an inode freed less than 60 s ago, or less than 360 s ago while
// its inode-table block is dirty, and every new inode is searched for from
// the start of its group, reading past each such inode again. Creating a tree
// right after removing one therefore costs time that grows with the square of
// the file count: measured with perf, about 1 ms of kernel time per file in
// Wine's server (recently_deleted under __ext4_new_inode), growing from round
// to round, far above the difference being measured. Blocks turn dirty again
// as soon as the next tree takes its first inodes there, so a 65 s wait is not
// enough. Two ways out: wait 365 s after every removal (the default under
// Wine), or --keep-trees: give every run a folder of its own and remove them
// all at the end.
class DiskSettler {
  public:
    DiskSettler(int wait_after_removal_seconds, bool keep_trees)
        : wait_after_removal_seconds_(wait_after_removal_seconds), keep_trees_(keep_trees) {}
    ~DiskSettler() {
        for (const std::wstring& path : kept_) {
            kh::RemoveDirectoryTree(path);
        }
    }

    // A fresh empty folder at `path`; leftovers of an earlier run are removed.
    void MakeFreshFolder(const std::wstring& path) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            kh::RemoveDirectoryTree(path);
            removal_pending_ = true;
        }
        if (!CreateDirectoryW(path.c_str(), nullptr)) {
            Fail(L"cannot create " + path);
        }
    }

    // A folder whose run is over: removed now, or at the end with --keep-trees.
    void Retire(const std::wstring& path) {
        if (keep_trees_) {
            kept_.push_back(path);
            return;
        }
        kh::RemoveDirectoryTree(path);
        removal_pending_ = true;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            Fail(L"could not remove " + path);
        }
    }

    // Folder names: one per run with --keep-trees, else reused every round.
    std::wstring Name(const std::wstring& base, const std::wstring& name, int round) const {
        return keep_trees_ ? base + L"\\" + name + L"-" + std::to_wstring(round + 1)
                           : base + L"\\" + name;
    }

    void Settle() {
        korvanthelm::bench::SyncLinuxDisk();
        if (removal_pending_ && wait_after_removal_seconds_ > 0) {
            std::printf("(waiting %d s after a removal)\n", wait_after_removal_seconds_);
            std::fflush(stdout);
            Sleep(static_cast<DWORD>(wait_after_removal_seconds_) * 1000);
        } else {
            Sleep(/*milliseconds=*/300);
        }
        removal_pending_ = false;
    }

  private:
    int wait_after_removal_seconds_;
    bool keep_trees_;
    bool removal_pending_ = false;
    std::vector<std::wstring> kept_;
};

// Under Wine, long enough for removed inodes to stop counting as recent.
int DefaultWaitAfterRemoval() {
    return RunningUnderWine() ? 365 : 0;
}

// One line per file beneath `folder`: relative path, size, FNV-1a of the
// content; sorted, so two trees compare with ==.
void ListTree(const std::wstring& folder, const std::wstring& relative,
              std::vector<std::wstring>& lines) {
    WIN32_FIND_DATAW found;
    const kh::UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = folder + L"\\" + name;
        const std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListTree(path, rel, lines);
            continue;
        }
        const std::vector<std::byte> content = ReadWholeFile(path);
        std::uint64_t hash = 14695981039346656037ull;
        for (const std::byte b : content) {
            hash = (hash ^ std::to_integer<std::uint64_t>(b)) * 1099511628211ull;
        }
        lines.push_back(rel + L" " + std::to_wstring(content.size()) + L" " +
                        std::to_wstring(hash));
    } while (FindNextFileW(find.get(), &found));
}

std::vector<std::wstring> TreeListing(const std::wstring& folder) {
    std::vector<std::wstring> lines;
    ListTree(folder, L"", lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// ---- Subject -----------------------------------------------------------------

struct SubjectTimes {
    double digest = 0;  // inside DecodePackageResource
    double decode = 0;  // the rest of it: allocation, decompression, header check
    double write = 0;   // WritePackageEntries
    double release = 0;
    CpuSample cpu;  // over the whole run
    double Total() const { return digest + decode + write + release; }
};

SubjectTimes RunSubject(const kh::PackageResource& resource, const std::wstring& expected_digest,
                        const std::wstring& work_directory) {
    SubjectTimes times;
    // The digest runs inside the decode; this wrapper only reads the clock
    // around the same call the product makes.
    const kh::DigestFunction timed_digest = [&times](const std::byte* data, std::uint64_t size) {
        const double start = Now();
        std::wstring text = kh::ComputeSha256Text(data, size);
        times.digest = Now() - start;
        return text;
    };
    const CpuSample cpu_start = SampleCpu();
    const double start = Now();
    double decoded = 0;
    double written = 0;
    try {
        const kh::PackageTable table = kh::DecodePackageResource(
            resource, expected_digest.c_str(), timed_digest, kh::LoadCompressionApi);
        decoded = Now();
        kh::WritePackageEntries(table, work_directory);
        written = Now();
    } catch (const kh::FailureMessage& message) {
        Fail(L"the bootstrapper's unpacking failed: " + message);
    }
    const double end = Now();
    times.cpu = CpuSince(cpu_start);
    times.decode = decoded - start - times.digest;
    times.write = written - decoded;
    times.release = end - written;
    return times;
}

// ---- Floor -------------------------------------------------------------------

// How the floor's write loop treats the parent folders of each entry.
enum class ParentWork {
    kCreateOnce,        // the floor: each folder created once, never checked
    kCreateEveryEntry,  // plus CreateDirectoryW on every parent of every entry
    kCheckEveryEntry,   // plus GetFileAttributesW on every parent of every entry
    // Instead of creating once: the bootstrapper's walk (CreateDirectoryW and
    // GetFileAttributesW on every parent), but only for an entry whose folder
    // differs from the previous entry's. What the write phase would cost if
    // the walk were not repeated for files of the same folder.
    kWalkOnFolderChange,
    // Instead of creating once: the bootstrapper's own folder walk
    // (EntryFolders: create, check and hold each folder when the walk enters
    // it), to price it apart from the rest of WritePackageEntries.
    kEntryFolders,
};

struct WriteTimes {
    double folders = 0;  // time inside CreateDirectoryW / GetFileAttributesW
    double total = 0;
    std::uint32_t files = 0;
    std::uint64_t bytes = 0;
};

WriteTimes WriteEntriesPlainly(std::span<const std::byte> table, std::uint32_t entry_count,
                               const std::wstring& work_directory, ParentWork parent_work) {
    WriteTimes times;
    const double start = Now();
    std::unordered_set<std::wstring> created;
    std::wstring last_parent;
    std::wstring target;
    std::wstring folder;
    std::optional<kh::EntryFolders> entry_folders;
    if (parent_work == ParentWork::kEntryFolders) {
        entry_folders.emplace(work_directory);
    }
    fmt::PackageRecordWalker walker(table);
    fmt::PackageRecord record;
    for (std::uint32_t entry = 0; entry < entry_count && walker.Next(record); ++entry) {
        // Path: UTF-8 to UTF-16 in one call, straight after the work directory.
        const int path_bytes = static_cast<int>(record.path.size());
        target.assign(work_directory);
        target.push_back(L'\\');
        const std::size_t path_start = target.size();
        target.resize(path_start + record.path.size());
        const int units =
            MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(record.path.data()),
                                path_bytes, target.data() + path_start, path_bytes);
        target.resize(path_start + static_cast<std::size_t>(units));
        std::replace(target.begin() + static_cast<std::ptrdiff_t>(path_start), target.end(), L'/',
                     L'\\');

        // Parent folders.
        const std::size_t last_separator = target.rfind(L'\\');
        if (entry_folders) {
            const double folders_start = Now();
            try {
                entry_folders->Enter(target);
            } catch (const kh::FailureMessage& message) {
                Fail(L"explain: " + message);
            }
            times.folders += Now() - folders_start;
        } else if (last_separator >= path_start) {
            const double folders_start = Now();
            const std::wstring_view parent(target.data(), last_separator);
            if (parent != last_parent) {
                for (std::size_t i = target.find(L'\\', path_start); i <= last_separator;
                     i = target.find(L'\\', i + 1)) {
                    folder.assign(target, 0, i);
                    if (parent_work == ParentWork::kWalkOnFolderChange) {
                        if (!CreateDirectoryW(folder.c_str(), nullptr) &&
                            GetLastError() != ERROR_ALREADY_EXISTS) {
                            Fail(L"explain: cannot create " + folder);
                        }
                        const DWORD attributes = GetFileAttributesW(folder.c_str());
                        if (attributes == INVALID_FILE_ATTRIBUTES ||
                            (attributes &
                             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                                FILE_ATTRIBUTE_DIRECTORY) {
                            Fail(L"explain: not a plain folder: " + folder);
                        }
                    } else if (created.insert(folder).second) {
                        CreateDirectoryW(folder.c_str(), nullptr);
                    }
                }
                last_parent.assign(parent);
            }
            if (parent_work == ParentWork::kCreateEveryEntry ||
                parent_work == ParentWork::kCheckEveryEntry) {
                for (std::size_t i = target.find(L'\\', path_start); i <= last_separator;
                     i = target.find(L'\\', i + 1)) {
                    folder.assign(target, 0, i);
                    if (parent_work == ParentWork::kCreateEveryEntry) {
                        CreateDirectoryW(folder.c_str(), nullptr);
                    } else {
                        GetFileAttributesW(folder.c_str());
                    }
                }
            }
            times.folders += Now() - folders_start;
        }

        // The file: one create, one write, one close.
        const HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (!record.data.empty()) {
            WriteFile(file, record.data.data(), static_cast<DWORD>(record.data.size()), &written,
                      nullptr);
        }
        CloseHandle(file);
        ++times.files;
        times.bytes += written;
    }
    times.total = Now() - start;
    return times;
}

struct FloorTimes {
    double digest = 0;
    double decode = 0;
    WriteTimes write;
    double release = 0;
    CpuSample cpu;
    double Total() const { return digest + decode + write.total + release; }
};

FloorTimes RunFloor(const kh::PackageResource& resource, const std::wstring& expected_digest,
                    const std::wstring& work_directory) {
    FloorTimes times;
    const CpuSample cpu_start = SampleCpu();
    const double start = Now();
    if (kh::ComputeSha256Text(resource.data, resource.size) != expected_digest) {
        Fail(L"floor: digest differs");
    }
    const double hashed = Now();

    const std::size_t unpacked_size =
        static_cast<std::size_t>(kh::format::LoadLittleEndian(std::span(resource.data + 8, 8)));
    std::unique_ptr<std::byte[]> table(new std::byte[unpacked_size]);
    {
        const kh::CompressionApi cabinet = kh::LoadCompressionApi();
        void* handle = nullptr;
        SIZE_T produced = 0;
        if (!cabinet.complete() || !cabinet.create(kLzmsAlgorithm, nullptr, &handle) ||
            !cabinet.decompress(handle, resource.data + fmt::kPackageEnvelopeHeaderSize,
                                resource.size - fmt::kPackageEnvelopeHeaderSize, table.get(),
                                unpacked_size, &produced) ||
            produced != unpacked_size) {
            Fail(L"floor: decompression failed");
        }
        cabinet.close(handle);
    }
    const std::span<const std::byte> bytes(table.get(), unpacked_size);
    const std::uint32_t entry_count = fmt::CheckPackageTableHeader(bytes).value_or(0);
    const double decoded = Now();

    times.write = WriteEntriesPlainly(bytes, entry_count, work_directory, ParentWork::kCreateOnce);
    const double written = Now();
    table.reset();
    const double end = Now();
    times.cpu = CpuSince(cpu_start);

    times.digest = hashed - start;
    times.decode = decoded - hashed;
    times.release = end - written;
    if (times.write.files != entry_count) {
        Fail(L"floor: fewer entries than the table announces");
    }
    return times;
}

// ---- --explain ---------------------------------------------------------------

// The bootstrapper's per-entry work that touches no disk: strict decoding (two
// calls), the path rules, the duplicate registry, the target path and every
// folder prefix as a string of its own.
// `parent_visits` counts the folder prefixes made (one per parent per entry);
// `folders_entered` the folders a walk that holds the current entry's way
// (EntryFolders) has to enter: those not shared with the previous entry's.
double TimeEntryChecks(std::span<const std::byte> table, std::uint32_t entry_count,
                       const std::wstring& work_directory, std::size_t& parent_visits,
                       std::size_t& folders_entered) {
    const double start = Now();
    folders_entered = 0;
    std::wstring previous = work_directory;
    fmt::EntryPathRegistry<wchar_t> registry;
    fmt::PackageRecordWalker walker(table);
    fmt::PackageRecord record;
    parent_visits = 0;
    for (std::uint32_t entry = 0; entry < entry_count && walker.Next(record); ++entry) {
        const char* text = reinterpret_cast<const char*>(record.path.data());
        const int size = static_cast<int>(record.path.size());
        const int length =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, nullptr, 0);
        std::wstring path(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, path.data(), length);
        if (!fmt::IsSafePackagePath(std::wstring_view(path)) ||
            !registry.TryAdd(std::wstring_view(path))) {
            Fail(L"explain: the package has a path the bootstrapper refuses");
        }
        std::replace(path.begin(), path.end(), L'/', L'\\');
        const std::wstring target = work_directory + L'\\' + path;
        for (std::size_t i = target.find(L'\\', work_directory.size() + 1); i != std::wstring::npos;
             i = target.find(L'\\', i + 1)) {
            parent_visits += target.substr(0, i).empty() ? 0 : 1;
        }
        const std::wstring folder = target.substr(0, target.rfind(L'\\'));
        const auto ends_folder = [](const std::wstring& path, std::size_t at) {
            return at == path.size() || path[at] == L'\\';
        };
        std::size_t shared = static_cast<std::size_t>(
            std::mismatch(folder.begin(), folder.end(), previous.begin(), previous.end()).first -
            folder.begin());
        while (!(ends_folder(folder, shared) && ends_folder(previous, shared))) {
            --shared;
        }
        for (std::size_t i = shared + 1; i <= folder.size(); ++i) {
            folders_entered += ends_folder(folder, i) ? 1 : 0;
        }
        previous = folder;
    }
    return Now() - start;
}

struct ExplainVariant {
    const char* name;
    std::vector<double> seconds;
    std::vector<double> cpu;  // this process + Wine's server
};

void RunExplain(const kh::PackageResource& resource, const std::wstring& expected_digest,
                const std::wstring& base, int rounds, DiskSettler& settler) {
    kh::PackageTable table;
    try {
        table = kh::DecodePackageResource(resource, expected_digest.c_str(), kh::ComputeSha256Text,
                                          kh::LoadCompressionApi);
    } catch (const kh::FailureMessage& message) {
        Fail(L"explain: " + message);
    }
    const std::span<const std::byte> bytes(table.bytes);

    ExplainVariant variants[] = {
        {"floor write (each folder created once)", {}, {}},
        {"floor + CreateDirectoryW, every parent, every entry", {}, {}},
        {"floor + GetFileAttributesW, every parent, every entry", {}, {}},
        {"WritePackageEntries", {}, {}},
        {"create + check every parent on a folder change only", {}, {}},
        {"floor with EntryFolders' walk (create, check, hold)", {}, {}},
    };
    constexpr int kVariants = 6;
    std::vector<double> checks;
    std::size_t parent_visits = 0;
    std::size_t folders_entered = 0;
    std::printf("\n--explain: write phase only, same decoded table, %d rounds\n", rounds);
    for (int round = 0; round < rounds; ++round) {
        std::printf("explain round %d:", round + 1);
        std::fflush(stdout);
        const auto folder_of = [&](int v) {
            return settler.Name(base, L"explain-" + std::to_wstring(v), round);
        };
        for (int v = 0; v < kVariants; ++v) {
            settler.MakeFreshFolder(folder_of(v));
        }
        for (int k = 0; k < kVariants; ++k) {
            // Rotate who goes first from round to round.
            const int v = (k + round) % kVariants;
            const std::wstring folder = folder_of(v);
            settler.Settle();
            double seconds = 0;
            const CpuSample cpu_start = SampleCpu();
            if (v == 3) {
                const double start = Now();
                try {
                    kh::WritePackageEntries(table, folder);
                } catch (const kh::FailureMessage& message) {
                    Fail(L"explain: " + message);
                }
                seconds = Now() - start;
            } else {
                const ParentWork work = v == 0   ? ParentWork::kCreateOnce
                                        : v == 1 ? ParentWork::kCreateEveryEntry
                                        : v == 2 ? ParentWork::kCheckEveryEntry
                                        : v == 4 ? ParentWork::kWalkOnFolderChange
                                                 : ParentWork::kEntryFolders;
                seconds = WriteEntriesPlainly(bytes, table.entry_count, folder, work).total;
            }
            const CpuSample cpu = CpuSince(cpu_start);
            variants[v].seconds.push_back(seconds);
            variants[v].cpu.push_back(cpu.process + cpu.server);
        }
        for (int v = 0; v < kVariants; ++v) {
            settler.Retire(folder_of(v));
        }
        checks.push_back(TimeEntryChecks(bytes, table.entry_count, base + L"\\explain-0",
                                         parent_visits, folders_entered));
        for (const ExplainVariant& variant : variants) {
            std::printf("  %.3f (cpu %.2f)", variant.seconds.back(), variant.cpu.back());
        }
        std::printf("  checks %.4f\n", checks.back());
        std::fflush(stdout);
    }
    const double floor = Median(variants[0].seconds);
    const double floor_cpu = Median(variants[0].cpu);
    std::printf("explain medians (s)%*s wall  over floor     cpu  over floor\n", 40, "");
    for (const ExplainVariant& variant : variants) {
        const double median = Median(variant.seconds);
        const double cpu = Median(variant.cpu);
        std::printf("  %-53s %7.3f %+8.3f %7.3f %+8.3f\n", variant.name, median, median - floor,
                    cpu, cpu - floor_cpu);
    }
    std::printf("  %-53s %7.4f\n", "in-memory entry checks alone", Median(checks));
    std::printf("  %u entries, %zu parent-folder visits (one per parent per entry)\n",
                table.entry_count, parent_visits);
    std::printf("  %zu folders entered by EntryFolders' walk (each then held while entries stay)\n",
                folders_entered);
}

// ---- Main --------------------------------------------------------------------

struct Options {
    std::wstring package;
    std::wstring base;
    int rounds = 5;
    int wait_after_removal = DefaultWaitAfterRemoval();
    bool keep_trees = false;
    bool explain = false;
};

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--rounds" && i + 1 < argc) {
            options.rounds = std::max(1, _wtoi(argv[++i]));
        } else if (arg == L"--wait-after-removal" && i + 1 < argc) {
            options.wait_after_removal = std::max(0, _wtoi(argv[++i]));
        } else if (arg == L"--keep-trees") {
            options.keep_trees = true;
        } else if (arg == L"--explain") {
            options.explain = true;
        } else if (!arg.empty() && arg[0] != L'-') {
            positional.push_back(arg);
        } else {
            positional.clear();
            break;
        }
    }
    if (positional.size() != 2) {
        Fail(
            L"usage: extract_bench PACKAGE WORK_FOLDER [--rounds N] [--explain]"
            L" [--wait-after-removal SECONDS]");
    }
    options.package = positional[0];
    options.base = positional[1];
    while (options.base.size() > 3 && options.base.back() == L'\\') {
        options.base.pop_back();
    }
    return options;
}

void PrintSubject(const SubjectTimes& t) {
    std::printf(
        "subject %7.3f [digest %.3f decode %.3f write %.3f release %.3f]"
        " cpu %.2f+%.2f",
        t.Total(), t.digest, t.decode, t.write, t.release, t.cpu.process, t.cpu.server);
}

void PrintFloor(const FloorTimes& t) {
    std::printf(
        "floor %7.3f [digest %.3f decode %.3f write %.3f (folders %.3f) release %.3f]"
        " cpu %.2f+%.2f",
        t.Total(), t.digest, t.decode, t.write.total, t.write.folders, t.release, t.cpu.process,
        t.cpu.server);
}

int Run(int argc, wchar_t** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::vector<std::byte> package = ReadWholeFile(options.package);
    if (package.size() < fmt::kPackageEnvelopeHeaderSize ||
        std::memcmp(package.data(), fmt::kPackageEnvelopeMagic.data(),
                    fmt::kPackageEnvelopeMagic.size()) != 0) {
        Fail(L"not a package file: " + options.package);
    }
    const kh::PackageResource resource{true, package.data(),
                                       static_cast<std::uint32_t>(package.size())};
    if (!kh::LoadCompressionApi().complete()) {
        Fail(L"System32\\cabinet.dll has no decompressor (run through the build's wine-run.sh)");
    }
    // The expected digest, computed once outside the timed region; it also
    // brings bcrypt.dll into the page cache before the first round.
    const std::wstring expected_digest = kh::ComputeSha256Text(resource.data, resource.size);
    if (!Exists(options.base) && !CreateDirectoryW(options.base.c_str(), nullptr)) {
        Fail(L"cannot create " + options.base);
    }

    std::printf("package: %u bytes, unpacked %llu bytes\n", resource.size,
                static_cast<unsigned long long>(
                    kh::format::LoadLittleEndian(std::span(resource.data + 8, 8))));
    std::printf("rounds: %d, subject and floor alternating; seconds, wall clock\n", options.rounds);
    if (options.keep_trees) {
        std::printf("every run in a folder of its own, all removed at the end; sync before each\n");
    } else {
        std::printf(
            "trees removed after each round; sync before each run, %d s wait after a"
            " removal\n",
            options.wait_after_removal);
    }
    std::printf("cpu: this process + Wine's server (%s)\n",
                ServerClock().found() ? "found through /proc" : "not found: counted as 0");
    std::fflush(stdout);

    std::vector<double> subject_total, subject_digest, subject_decode, subject_write,
        subject_release;
    std::vector<double> floor_total, floor_digest, floor_decode, floor_write, floor_folders,
        floor_release;
    std::vector<double> subject_cpu, floor_cpu, subject_server, floor_server;
    std::vector<double> subject_cpu_total, floor_cpu_total, cpu_ratios;
    std::vector<double> ratios;
    std::uint32_t files = 0;
    std::uint64_t bytes = 0;
    DiskSettler settler(options.wait_after_removal, options.keep_trees);
    for (int round = 0; round < options.rounds; ++round) {
        const std::wstring subject_folder = settler.Name(options.base, L"subject", round);
        const std::wstring floor_folder = settler.Name(options.base, L"floor", round);
        settler.MakeFreshFolder(subject_folder);
        settler.MakeFreshFolder(floor_folder);
        SubjectTimes s;
        FloorTimes f;
        const bool subject_first = round % 2 == 0;
        for (int side = 0; side < 2; ++side) {
            settler.Settle();
            if ((side == 0) == subject_first) {
                s = RunSubject(resource, expected_digest, subject_folder);
            } else {
                f = RunFloor(resource, expected_digest, floor_folder);
            }
        }
        if (round == 0) {
            // Both sides must have written the same files, byte for byte.
            if (TreeListing(subject_folder) != TreeListing(floor_folder)) {
                Fail(L"the subject and the floor wrote different trees");
            }
            files = f.write.files;
            bytes = f.write.bytes;
        }
        settler.Retire(subject_folder);
        settler.Retire(floor_folder);

        subject_total.push_back(s.Total());
        subject_digest.push_back(s.digest);
        subject_decode.push_back(s.decode);
        subject_write.push_back(s.write);
        subject_release.push_back(s.release);
        floor_total.push_back(f.Total());
        floor_digest.push_back(f.digest);
        floor_decode.push_back(f.decode);
        floor_write.push_back(f.write.total);
        floor_folders.push_back(f.write.folders);
        floor_release.push_back(f.release);
        subject_cpu.push_back(s.cpu.process);
        floor_cpu.push_back(f.cpu.process);
        subject_server.push_back(s.cpu.server);
        floor_server.push_back(f.cpu.server);
        subject_cpu_total.push_back(s.cpu.process + s.cpu.server);
        floor_cpu_total.push_back(f.cpu.process + f.cpu.server);
        cpu_ratios.push_back(subject_cpu_total.back() / floor_cpu_total.back());
        ratios.push_back(s.Total() / f.Total());

        std::printf("round %d (%s first): ", round + 1, subject_first ? "subject" : "floor");
        PrintSubject(s);
        std::printf("  ");
        PrintFloor(f);
        std::printf("  ratio %.3f\n", ratios.back());
        std::fflush(stdout);
    }

    std::printf("\nwritten per side: %u files, %llu bytes (round 1: both trees identical)\n", files,
                static_cast<unsigned long long>(bytes));
    std::printf("medians (s)        subject    floor   difference\n");
    const auto row = [](const char* name, const std::vector<double>& a,
                        const std::vector<double>& b) {
        std::printf("  %-14s %9.3f %9.3f %+9.3f\n", name, Median(a), Median(b),
                    Median(a) - Median(b));
    };
    row("digest", subject_digest, floor_digest);
    row("decode", subject_decode, floor_decode);
    row("write", subject_write, floor_write);
    row("release", subject_release, floor_release);
    row("total", subject_total, floor_total);
    row("cpu, process", subject_cpu, floor_cpu);
    row("cpu, server", subject_server, floor_server);
    row("cpu, both", subject_cpu_total, floor_cpu_total);
    std::printf("  floor folder creation inside write: %.3f\n", Median(floor_folders));
    std::printf(
        "ratio subject/floor: %.3f of the medians, %.3f median of the rounds"
        " (target <= 1.10)\n",
        Median(subject_total) / Median(floor_total), Median(ratios));
    std::fflush(stdout);

    if (options.explain) {
        RunExplain(resource, expected_digest, options.base, options.rounds, settler);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return korvanthelm::bench::RunBenchmark("extract_bench", Run, argc, argv);
}
