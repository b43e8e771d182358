// Our LZMS encoder next to wimlib's compressor at levels 20, 50 (its
// default) and 100, on the same chunks in the same run:
//
//   lzms_encoder_bench [--rounds N] [--tree FILE] [--code-mb M] [--only CORPUS]
//
// Corpora: the realistic launcher tree's content (FILE, default
// $PERF_ROOT/data/tree.bin, see bench/README.md) and a code-heavy corpus
// from this machine (Wine's PE DLLs and ELF libraries, M MB, default 40),
// each cut into 64 MiB chunks as the packer does. Each compressor runs in a
// child process per round, so its peak memory is its own: the figure is the
// child's peak resident set above what it had when it started (the input,
// shared with the parent). Time is the child's CPU time. Printed per round
// and as medians; our blocks are checked with our decoder and wimlib's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "codec/lzms/lzms_decoder.h"
#include "codec/lzms/lzms_encoder.h"
#include "tests/host/lzms/test_data.h"
#include "tests/host/lzms/wimlib_reference.h"

namespace {

namespace t = korvanthelm::testing;
namespace lzms = korvanthelm::lzms;

struct Result {
    std::uint64_t size = 0;  // sum of the chunks' payloads (stored chunks count whole)
    double cpu_seconds = 0;
    double peak_mib = 0;  // above the child's resident set at its start
    bool ok = false;
};

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// VmHWM or VmRSS of this process in KiB.
long StatusKib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field) + 1);
    }
    return 0;
}

// level 0: ours.
Result CompressAll(const t::Bytes& data, unsigned level) {
    const std::size_t k = lzms::kMaxBlockSize;
    Result r;
    std::vector<std::byte> out(std::min(k, data.size()));
    std::unique_ptr<t::WimlibLzmsCompressor> wimlib;
    const double start = CpuSeconds();
    if (level != 0)
        wimlib = std::make_unique<t::WimlibLzmsCompressor>(std::min(k, data.size()), level);
    for (std::size_t at = 0; at < data.size(); at += k) {
        const auto chunk = std::span(data).subspan(at, std::min(k, data.size() - at));
        const auto room = std::span(out).first(chunk.size() - 1);
        const std::size_t n =
            level == 0 ? lzms::EncodeBlock(chunk, room) : wimlib->CompressInto(chunk, room);
        r.size += n == 0 ? chunk.size() : n;
    }
    r.cpu_seconds = CpuSeconds() - start;
    r.ok = true;
    return r;
}

// Runs CompressAll in a child; its peak memory is measured there.
Result Measure(const t::Bytes& data, unsigned level) {
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        // Touch nothing new before the baseline: the input pages are shared.
        const long base = StatusKib("VmRSS:");
        Result r = CompressAll(data, level);
        r.peak_mib = static_cast<double>(StatusKib("VmHWM:") - base) / 1024.0;
        const ssize_t w = write(fds[1], &r, sizeof r);
        _exit(w == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    Result r;
    const bool got = read(fds[0], &r, sizeof r) == sizeof r;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return r;
}

bool CheckOurs(const t::Bytes& data) {
    const std::size_t k = lzms::kMaxBlockSize;
    const t::WimlibLzmsDecompressor reference(k);
    std::vector<std::byte> block(std::min(k, data.size()));
    for (std::size_t at = 0; at < data.size(); at += k) {
        const auto chunk = std::span(data).subspan(at, std::min(k, data.size() - at));
        const std::size_t n = lzms::EncodeBlock(chunk, std::span(block).first(chunk.size() - 1));
        if (n == 0)
            continue;
        t::Bytes ours(chunk.size()), theirs(chunk.size());
        const auto b = std::span(block).first(n);
        if (!lzms::DecodeBlock(b, ours) || !reference.Decompress(b, theirs) ||
            !std::equal(ours.begin(), ours.end(), chunk.begin()) || ours != theirs) {
            return false;
        }
    }
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Run(const char* name, const t::Bytes& data, int rounds) {
    std::printf("\n== %s: %zu bytes, %zu chunk(s) of up to 64 MiB\n", name, data.size(),
                (data.size() + lzms::kMaxBlockSize - 1) / lzms::kMaxBlockSize);
    if (!CheckOurs(data)) {
        std::printf("our blocks do not decode to the input: no figures\n");
        return;
    }
    const unsigned levels[] = {0, 20, 50, 100};
    const char* names[] = {"ours", "wimlib 20", "wimlib 50", "wimlib 100"};
    std::vector<double> seconds[4], peaks[4];
    std::uint64_t sizes[4] = {};
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 4; ++i) {
            // Rotate who goes first: neither gets the quiet start every time.
            const int which = (i + round) % 4;
            const Result r = Measure(data, levels[which]);
            if (!r.ok) {
                std::printf("%s failed\n", names[which]);
                return;
            }
            sizes[which] = r.size;
            seconds[which].push_back(r.cpu_seconds);
            peaks[which].push_back(r.peak_mib);
            std::printf("round %d  %-10s %12llu B  %7.2f s  %7.1f MiB\n", round + 1, names[which],
                        static_cast<unsigned long long>(r.size), r.cpu_seconds, r.peak_mib);
            std::fflush(stdout);
        }
    }
    std::printf(
        "\n| %s | size (B) | size / wimlib 50 | CPU s (median) | s / wimlib 50 | peak MiB | "
        "MiB / wimlib 50 |\n|---|---|---|---|---|---|---|\n",
        name);
    const double s50 = Median(seconds[2]);
    const double m50 = Median(peaks[2]);
    for (int i = 0; i < 4; ++i) {
        std::printf("| %s | %llu | %.4f | %.2f | %.3f | %.1f | %.3f |\n", names[i],
                    static_cast<unsigned long long>(sizes[i]),
                    static_cast<double>(sizes[i]) / static_cast<double>(sizes[2]),
                    Median(seconds[i]), Median(seconds[i]) / s50, Median(peaks[i]),
                    Median(peaks[i]) / m50);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    std::string tree;
    std::size_t code_mb = 40;
    std::string only;
    if (const char* root = std::getenv("PERF_ROOT"))
        tree = std::string(root) + "/data/tree.bin";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--tree" && i + 1 < argc) {
            tree = argv[++i];
        } else if (arg == "--code-mb" && i + 1 < argc) {
            code_mb = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: lzms_encoder_bench [--rounds N] [--tree FILE] [--code-mb M] "
                         "[--only tree|code]\n");
            return 2;
        }
    }
    if (only != "code") {
        if (const auto data = tree.empty() ? std::nullopt : t::ReadFileBytes(tree)) {
            Run("realistic tree", *data, rounds);
        } else {
            std::printf("no realistic tree (set PERF_ROOT or pass --tree): skipped\n");
        }
    }
    if (only != "tree") {
        const std::size_t bytes = code_mb * 1'000'000;
        auto pe = t::PeCode(bytes * 6 / 10);
        auto elf = t::ElfLibraries(bytes - bytes * 6 / 10);
        if (!pe || !elf) {
            std::printf("this machine lacks the PE/ELF files for the code corpus: skipped\n");
            return 0;
        }
        pe->insert(pe->end(), elf->begin(), elf->end());
        Run("code corpus (PE + ELF)", *pe, rounds);
    }
    return 0;
}
