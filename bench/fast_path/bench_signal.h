// What the fast-path benchmark and its stand-in launcher share: the launcher
// finds a base name in an environment variable it inherits, and opens the
// file mapping and the event named after it (named kernel objects share one
// namespace, so the two names differ).
#pragma once

#include <cstdint>

namespace korvanthelm::bench {

inline constexpr const wchar_t kSignalVariable[] = L"KORVANTHELM_FAST_PATH_BENCH";
inline constexpr unsigned kSignalNameCapacity = 128;
inline constexpr const wchar_t kMappingSuffix[] = L"-time";
inline constexpr const wchar_t kEventSuffix[] = L"-started";

struct LauncherSignal {
    std::int64_t started;  // QueryPerformanceCounter when the launcher began
    std::uint32_t process_id;
};

}  // namespace korvanthelm::bench
