#include "tools/pack/platform/usable_cores.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace korvanthelm::pack {

unsigned UsableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    }
    // More CPUs than a cpu_set_t holds, or no affinity to be read.
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace korvanthelm::pack
