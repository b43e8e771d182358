// How much memory the system can give this process without swapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvanthelm::pack {

// MemAvailable from /proc/meminfo in bytes (on Windows the available
// physical memory GlobalMemoryStatusEx gives); nullopt when it cannot be read.
std::optional<std::uint64_t> AvailableMemory();
// The same figure from the text of /proc/meminfo (its "MemAvailable: N kB" line).
std::optional<std::uint64_t> MemAvailableFrom(std::string_view meminfo);

}  // namespace korvanthelm::pack
