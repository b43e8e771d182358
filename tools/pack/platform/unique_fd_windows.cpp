#include <windows.h>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

void UniqueFd::reset(Handle handle) {
    const Handle old = std::exchange(handle_, handle);
    if (old != Empty()) {
        // The caller may still read the error of the call that failed.
        const DWORD error = GetLastError();
        CloseHandle(old);
        SetLastError(error);
    }
}

}  // namespace korvanthelm::pack
