#include "tools/pack/platform/available_memory.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

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
