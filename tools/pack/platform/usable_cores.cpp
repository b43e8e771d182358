#include "tools/pack/platform/usable_cores.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#endif

#include <algorithm>
#include <bit>
#include <thread>

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
