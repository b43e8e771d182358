// How many cores this process may run its threads on.
#pragma once

namespace korvanthelm::pack {

// The cores this process may run on (its CPU affinity, which taskset and
// container limits narrow), at least 1.
unsigned UsableCores();

}  // namespace korvanthelm::pack
