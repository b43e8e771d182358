// How fast the bootstrapper decodes its package with its built-in decoder,
// against the same decoder inside the stand-in cabinet.dll reached as the
// system's decompressor, in one run, alternating who goes first.
//
//   decode_bench PACKAGE [--rounds N]
//
// PACKAGE is a package file made by korvanthelm-pack. Both sides are
// DecodePackageResource on the package bytes (table allocated, stream
// decoded, header checked, table released); the digest step is handed the
// package's own digest, computed once beforehand, so only decoding is timed.
//   system:   System32's cabinet.dll (under wine-run.sh, the stand-in);
//             the run gives up unless that decompressor really produced the
//             table, so a silent fall-back cannot pass for it;
//   built-in: no system decompressor at all, as under a plain Wine or
//             Windows before 8: the built-in decoder alone.
// Speed is MB/s of table (10^6 bytes per second) on the thread's CPU time,
// with wall time beside it. Before any round, one built-in decode is made
// with every allocation counted: the peak of live heap bytes beyond the
// table is the decoder's working memory.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bench/common/windows_bench.h"
#include "package/compression_api.h"
#include "package/load_package_table.h"
#include "platform/sha256.h"

// ---- Counting every heap allocation ------------------------------------------

namespace {

// Live and peak bytes obtained through operator new, which is how the table
// and the decoder's working memory are allocated.
std::size_t g_live = 0;
std::size_t g_peak = 0;
constexpr std::size_t kHeader = 16;  // keeps the caller's block 16-byte aligned

void* Allocate(std::size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) {
        return nullptr;
    }
    *reinterpret_cast<std::size_t*>(block) = size;
    g_live += size;
    g_peak = g_live > g_peak ? g_live : g_peak;
    return block + kHeader;
}

void Release(void* pointer) noexcept {
    if (pointer != nullptr) {
        auto* block = static_cast<unsigned char*>(pointer) - kHeader;
        g_live -= *reinterpret_cast<std::size_t*>(block);
        std::free(block);
    }
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace {

namespace kh = korvanthelm;
using kh::bench::Median;
using kh::bench::Now;

[[noreturn]] void Fail(const std::wstring& what) {
    kh::bench::FailBenchmark(L"decode_bench", what);
}

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

// The system decompressor, watched: counts the calls that produced exactly
// the capacity asked for.
kh::CompressionApi::DecompressFn g_system_decompress = nullptr;
int g_system_successes = 0;

BOOL WINAPI WatchedDecompress(void* handle, const void* in, SIZE_T in_size, void* out,
                              SIZE_T capacity, SIZE_T* produced) {
    const BOOL ok = g_system_decompress(handle, in, in_size, out, capacity, produced);
    if (ok && *produced == capacity) {
        ++g_system_successes;
    }
    return ok;
}

kh::CompressionApi WatchedSystemApi() {
    kh::CompressionApi api = kh::LoadCompressionApi();
    if (!api.complete()) {
        Fail(L"System32 has no cabinet.dll with the decompressor: run under wine-run.sh");
    }
    g_system_decompress = api.decompress;
    api.decompress = WatchedDecompress;
    return api;
}

struct Timing {
    double cpu, wall;
};

class Subject {
  public:
    Subject(const std::vector<std::byte>& package, std::wstring digest)
        : package_(package), digest_(std::move(digest)) {}

    // One whole decode; gives up on any failure.
    Timing Run(bool system) {
        const int successes_before = g_system_successes;
        const double cpu = ThreadCpuSeconds();
        const double wall = Now();
        {
            const kh::PackageTable table = Decode(system);
            entries_ = table.entry_count;
            table_size_ = table.bytes.size();
        }
        const Timing timing{ThreadCpuSeconds() - cpu, Now() - wall};
        if (system != (g_system_successes == successes_before + 1)) {
            Fail(system ? L"the system decompressor did not produce the table"
                        : L"the system decompressor was used");
        }
        return timing;
    }

    kh::PackageTable Decode(bool system) {
        try {
            return kh::DecodePackageResource(
                {true, package_.data(), static_cast<std::uint32_t>(package_.size())},
                digest_.c_str(), [this](const std::byte*, std::uint64_t) { return digest_; },
                system ? kh::CompressionApiLoader(WatchedSystemApi)
                       : kh::CompressionApiLoader([] { return kh::CompressionApi(); }));
        } catch (const std::wstring& message) {
            Fail(L"the package does not decode: " + message);
        }
    }

    std::uint32_t entries() const { return entries_; }
    std::size_t table_size() const { return table_size_; }

  private:
    const std::vector<std::byte>& package_;
    const std::wstring digest_;
    std::uint32_t entries_ = 0;
    std::size_t table_size_ = 0;
};

int Run(int argc, wchar_t** argv) {
    if (argc < 2) {
        Fail(L"usage: decode_bench PACKAGE [--rounds N]");
    }
    int rounds = 9;
    kh::bench::ParseNumberOptions(L"decode_bench", argc, argv, 2, {{L"--rounds", &rounds}});
    const std::vector<std::byte> package = kh::bench::ReadWholeFile(L"decode_bench", argv[1]);
    Subject subject(package, kh::ComputeSha256Text(package.data(), package.size()));

    // Working memory: one built-in decode with every allocation counted,
    // before the stand-in is loaded.
    const std::size_t live_before = g_live;
    g_peak = g_live;
    subject.Run(/*system=*/false);
    const std::size_t beyond_table = g_peak - live_before - subject.table_size();
    std::printf("package %zu bytes, table %zu bytes, %u entries\n", package.size(),
                subject.table_size(), subject.entries());
    std::printf("built-in decoder: peak heap beyond the table %zu bytes (%.3f MiB)\n", beyond_table,
                static_cast<double>(beyond_table) / (1 << 20));

    const double megabytes = static_cast<double>(subject.table_size()) / 1e6;
    std::vector<double> system_cpu, builtin_cpu, system_wall, builtin_wall, ratios;
    std::printf("round  system CPU s (MB/s)   built-in CPU s (MB/s)   wall s system/built-in\n");
    for (int round = 0; round < rounds; ++round) {
        Timing system{}, builtin{};
        // Alternate who goes first.
        if (round % 2 == 0) {
            system = subject.Run(true);
            builtin = subject.Run(false);
        } else {
            builtin = subject.Run(false);
            system = subject.Run(true);
        }
        system_cpu.push_back(system.cpu);
        builtin_cpu.push_back(builtin.cpu);
        system_wall.push_back(system.wall);
        builtin_wall.push_back(builtin.wall);
        ratios.push_back(system.cpu / builtin.cpu);
        std::printf("%5d  %6.3f (%6.1f)        %6.3f (%6.1f)          %6.3f / %6.3f\n", round + 1,
                    system.cpu, megabytes / system.cpu, builtin.cpu, megabytes / builtin.cpu,
                    system.wall, builtin.wall);
    }
    const double s = Median(system_cpu), b = Median(builtin_cpu);
    std::printf("median CPU: system %.3f s (%.1f MB/s), built-in %.3f s (%.1f MB/s)\n", s,
                megabytes / s, b, megabytes / b);
    std::printf("median wall: system %.3f s, built-in %.3f s\n", Median(system_wall),
                Median(builtin_wall));
    std::printf("built-in speed / system speed: %.3f of the medians, %.3f median of the rounds\n",
                s / b, Median(ratios));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return kh::bench::RunBenchmark("decode_bench", Run, argc, argv);
}
