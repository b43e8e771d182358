// The packer's speed and memory in one run: the same four-chunk tree packed
// with one job and with two, alternating, and (with --tree) the realistic
// launcher tree packed by us and by makensis (solid LZMA), alternating.
//
//   pack_bench PACKER WORK [--tree TREE] [--rounds N] [--skip-four]
//
// PACKER is korvanthelm-pack (an optimised build without sanitizers); WORK a
// folder for the four-chunk tree (made once from this machine's files: Wine's
// PE DLLs, ELF libraries and C headers, taken in turn so that every chunk
// holds the same mix), the packages and the NSIS script. TREE is the tree
// made by shared/bench/build_launcher_tree.py ($PERF_ROOT/tree).
//
// Every run is a child process: wall time around it, CPU time (user + sys)
// and peak resident memory (the ru_maxrss that /usr/bin/time -v reports)
// from wait4. Ratios are taken within a round, a minute apart at most; the
// median of them is the figure to quote on a shared machine.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Four chunks of 64 MiB, the last one 58 MiB: with two jobs each compresses
// two of them, so the best ratio is 250 / 128 = 1.95.
constexpr std::uint64_t kFourChunkBytes = 250ull << 20;
// Small pieces keep every 64 MiB chunk a similar mix of the three kinds.
constexpr std::uint64_t kLargestPiece = 4ull << 20;

struct Run {
    double wall;
    double cpu;
    double peak_mib;
};

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// Runs `args` with stdout to /dev/null and stderr to `log`; exits the
// benchmark if it fails, since its figures would mean nothing.
Run RunChild(const std::vector<std::string>& args, const fs::path& log) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null < 0 || err < 0) {
            _exit(127);
        }
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) {
        std::perror("wait4");
        std::exit(1);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d); see %s\n", args[0].c_str(), status,
                     log.c_str());
        std::exit(1);
    }
    return {wall, Seconds(usage.ru_utime) + Seconds(usage.ru_stime),
            static_cast<double>(usage.ru_maxrss) / 1024.0};
}

std::vector<fs::path> FilesBelow(const fs::path& root, const std::vector<std::string>& suffixes) {
    std::vector<fs::path> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            break;
        }
        if (!it->is_regular_file(error) || it->is_symlink(error) || it->file_size(error) == 0) {
            continue;
        }
        const std::string name = it->path().filename().string();
        for (const std::string& suffix : suffixes) {
            if (name.size() > suffix.size() &&
                (name.ends_with(suffix) || name.find(suffix + ".") != std::string::npos)) {
                files.push_back(it->path());
                break;
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The four-chunk tree: pieces of up to 4 MiB of PE, ELF and header files in
// turn, named so that the table holds them in that order.
void MakeFourChunkTree(const fs::path& tree) {
    const std::vector<std::vector<fs::path>> kinds = {
        FilesBelow("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", {".dll"}),
        FilesBelow("/usr/lib/x86_64-linux-gnu", {".so"}),
        FilesBelow("/usr/include", {".h"}),
    };
    fs::create_directories(tree / "mix");
    std::vector<std::size_t> next(kinds.size(), 0);
    std::uint64_t total = 0;
    std::size_t count = 0;
    std::vector<char> buffer;
    while (total < kFourChunkBytes) {
        const std::size_t kind = count % kinds.size();
        if (next[kind] == kinds[kind].size()) {
            std::fprintf(stderr, "not enough files of kind %zu on this machine\n", kind);
            std::exit(1);
        }
        const fs::path& from = kinds[kind][next[kind]++];
        std::ifstream in(from, std::ios::binary);
        buffer.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        buffer.resize(
            std::min<std::uint64_t>({buffer.size(), kLargestPiece, kFourChunkBytes - total}));
        if (buffer.empty()) {
            continue;
        }
        char name[32];
        std::snprintf(name, sizeof name, "%06zu%s", count, from.extension().c_str());
        std::ofstream(tree / "mix" / name, std::ios::binary)
            .write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        total += buffer.size();
        ++count;
    }
    std::printf("four-chunk tree: %zu files, %llu bytes in %s\n", count,
                static_cast<unsigned long long>(total), tree.c_str());
}

// The packer refuses a tree without the set-up program; its content does not
// matter to the figures, so a small stand-in is added where it is missing
// (both sides then pack it).
void EnsureSetupProgram(const fs::path& tree) {
    const fs::path setup = tree / "KORVANTHELM" / "KORVANTHELM.exe";
    if (!fs::exists(setup)) {
        fs::create_directories(setup.parent_path());
        std::ofstream(setup, std::ios::binary) << "MZ stand-in set-up program for pack_bench\n";
        std::printf("added a stand-in set-up program: %s\n", setup.c_str());
    }
}

// The first file in `tree`: the launcher digests must name files, any will do.
std::string SomeFile(const fs::path& tree) {
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (entry.is_regular_file()) {
            return entry.path().string();
        }
    }
    std::fprintf(stderr, "no file in %s\n", tree.c_str());
    std::exit(1);
}

std::vector<std::string> PackCommand(const std::string& packer, const fs::path& tree,
                                     const fs::path& output, std::optional<unsigned> jobs) {
    const std::string any = SomeFile(tree);
    std::vector<std::string> args = {packer, "pack",           tree.string(),
                                     "-o",   output.string(),  "--launcher-exe",
                                     any,    "--launcher-jar", any};
    if (jobs) {
        args.push_back("--jobs");
        args.push_back(std::to_string(*jobs));
    }
    return args;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double LoadAverage() {
    double load = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) {
            load = -1;
        }
        std::fclose(f);
    }
    return load;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

struct Side {
    const char* name;
    std::vector<std::string> command;
    std::vector<Run> runs;
};

// Alternates who goes first; prints each round and the medians, and the
// median of the per-round ratios a.wall / b.wall.
void Compare(const char* title, Side& a, Side& b, int rounds, const fs::path& work) {
    std::printf("\n== %s, %d rounds (wall s, CPU s user+sys, peak RSS MiB)\n", title, rounds);
    std::printf("round  load  %-24s  %-24s  %s/%s\n", a.name, b.name, a.name, b.name);
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        const double load = LoadAverage();
        Side* order[2] = {&a, &b};
        if (round % 2 == 1) {
            std::swap(order[0], order[1]);
        }
        for (Side* side : order) {
            side->runs.push_back(
                RunChild(side->command, work / (std::string(side->name) + ".log")));
        }
        const Run& ra = a.runs.back();
        const Run& rb = b.runs.back();
        ratios.push_back(ra.wall / rb.wall);
        std::printf("%5d %5.2f  %7.1f %7.1f %7.0f   %7.1f %7.1f %7.0f   %.3f\n", round + 1, load,
                    ra.wall, ra.cpu, ra.peak_mib, rb.wall, rb.cpu, rb.peak_mib, ratios.back());
        std::fflush(stdout);
    }
    const auto medians = [](const Side& side) {
        std::vector<double> wall, cpu, peak;
        for (const Run& run : side.runs) {
            wall.push_back(run.wall);
            cpu.push_back(run.cpu);
            peak.push_back(run.peak_mib);
        }
        return Run{Median(wall), Median(cpu), Median(peak)};
    };
    const Run ma = medians(a);
    const Run mb = medians(b);
    std::printf(
        "median       %7.1f %7.1f %7.0f   %7.1f %7.1f %7.0f   %.3f (ratio of medians %.3f)\n",
        ma.wall, ma.cpu, ma.peak_mib, mb.wall, mb.cpu, mb.peak_mib, Median(ratios),
        ma.wall / mb.wall);
    std::printf("peak RSS %s/%s %.3f, CPU %s/%s %.3f\n", b.name, a.name, mb.peak_mib / ma.peak_mib,
                b.name, a.name, mb.cpu / ma.cpu);
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage = "usage: pack_bench PACKER WORK [--tree TREE] [--rounds N] [--skip-four]\n";
    std::vector<std::string> positional;
    std::optional<fs::path> realistic;
    int rounds = 3;
    bool skip_four = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tree" && i + 1 < argc) {
            realistic = argv[++i];
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--skip-four") {
            skip_four = true;
        } else if (!arg.starts_with("-")) {
            positional.push_back(arg);
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (positional.size() != 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string packer = fs::absolute(positional[0]).string();
    const fs::path work = fs::absolute(positional[1]);
    fs::create_directories(work);

    if (!skip_four) {
        const fs::path tree = work / "four-chunk-tree";
        if (!fs::exists(tree)) {
            MakeFourChunkTree(tree);
        }
        EnsureSetupProgram(tree);
        Side one{"1 job", PackCommand(packer, tree, work / "four-1.bin", 1u), {}};
        Side two{"2 jobs", PackCommand(packer, tree, work / "four-2.bin", 2u), {}};
        Compare("four-chunk tree, one job against two", one, two, rounds, work);
        std::printf("packages %s (%llu bytes)\n",
                    SameBytes(work / "four-1.bin", work / "four-2.bin") ? "identical" : "DIFFER",
                    static_cast<unsigned long long>(fs::file_size(work / "four-1.bin")));
    }

    if (realistic) {
        const fs::path tree = fs::absolute(*realistic);
        EnsureSetupProgram(tree);
        const fs::path installer = work / "nsis-installer.exe";
        const fs::path script = work / "tree.nsi";
        // Solid LZMA, the 64-bit Unicode stub: what a launcher installer of
        // this kind is made with.
        std::ofstream(script) << "Unicode true\nTarget amd64-unicode\nSetCompressor /SOLID lzma\n"
                                 "Name \"bench\"\nOutFile \""
                              << installer.string()
                              << "\"\nRequestExecutionLevel user\nInstallDir \"$TEMP\\bench\"\n"
                                 "SilentInstall silent\nSection\n  SetOutPath \"$INSTDIR\"\n"
                                 "  File /r \""
                              << tree.string() << "/*\"\nSectionEnd\n";
        Side ours{
            "korvanthelm-pack", PackCommand(packer, tree, work / "tree.bin", std::nullopt), {}};
        Side nsis{"makensis", {"makensis", "-V2", script.string()}, {}};
        Compare("realistic tree, korvanthelm-pack (default jobs) against makensis", ours, nsis,
                rounds, work);
        std::printf("sizes: package %llu bytes, NSIS installer %llu bytes\n",
                    static_cast<unsigned long long>(fs::file_size(work / "tree.bin")),
                    static_cast<unsigned long long>(fs::file_size(installer)));
    }
    return 0;
}
