// this_process.h: the parts that are the same on every system.
#include "tools/pack/platform/this_process.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tools/pack/platform/wide_path.h"
#else
#include <sched.h>
#include <unistd.h>
#endif

namespace korvanthelm::pack {

#ifdef _WIN32
namespace {

UINT g_console_code_page = 0;  // the console's own, set back at exit

void RestoreConsoleCodePage() {
    SetConsoleOutputCP(g_console_code_page);
}

}  // namespace

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    g_console_code_page = GetConsoleOutputCP();  // 0 without a console
    if (g_console_code_page != 0 && g_console_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(RestoreConsoleCodePage);
    }
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(Utf8FromWide(argv[i]));
    }
    return arguments;
}
#else
void PrepareStandardStreams() {}
#endif

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

bool StandardErrorIsTerminal() {
#ifdef _WIN32
    // Only a console has a console mode; a file or a pipe has none.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

std::optional<std::uint64_t> MemAvailableFrom(std::string_view meminfo) {
    constexpr std::string_view kKey = "MemAvailable:";
    std::size_t at = 0;
    while (at < meminfo.size() && meminfo.compare(at, kKey.size(), kKey) != 0) {
        const std::size_t end = meminfo.find('\n', at);
        at = end == std::string_view::npos ? meminfo.size() : end + 1;
    }
    if (at >= meminfo.size()) {
        return std::nullopt;
    }
    std::string_view line = meminfo.substr(at + kKey.size());
    line = line.substr(0, line.find('\n'));
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
    std::uint64_t kib = 0;
    const auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), kib);
    // The kernel has always given this figure in kB (KiB); anything else is
    // not a figure to plan memory by.
    if (error != std::errc{} || std::string_view(rest, line.data() + line.size()) != " kB" ||
        kib > std::numeric_limits<std::uint64_t>::max() / 1024) {
        return std::nullopt;
    }
    return kib * 1024;
}

std::optional<std::uint64_t> AvailableMemory() {
#ifdef _WIN32
    // The physical memory the system can hand out now without paging out.
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) {
        return std::nullopt;
    }
    return status.ullAvailPhys;
#else
    std::ifstream file("/proc/meminfo");
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return MemAvailableFrom(text.str());
#endif
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

unsigned UsableCores() {
#ifdef _WIN32
    // The process's affinity (start /affinity, a job's limit) within its
    // processor group; all the system's active processors when it has none.
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
        process_mask != 0) {
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process_mask)));
    }
    return std::max<unsigned>(1u, GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
#else
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    }
    // More CPUs than a cpu_set_t holds, or no affinity to be read.
    return std::max(1u, std::thread::hardware_concurrency());
#endif
}

}  // namespace korvanthelm::pack
