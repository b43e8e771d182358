// The installed launcher of the fast-path benchmark. It notes the moment it
// starts running (QueryPerformanceCounter reads one clock in every process)
// and its process id in the benchmark's shared memory, signals, and ends.
// Started without the variable, it just ends.
#include <windows.h>

#include <cstddef>
#include <string>

#include "bench/fast_path/bench_signal.h"

namespace {

// With the static runtime around it, this makes the image about as large as
// a real launcher's executable (1 MB), so that hashing and mapping it cost
// what they would. Volatile: it stays although nothing needs its value.
constexpr std::size_t kBallastSize = 300 * 1024;
volatile const unsigned char kBallast[kBallastSize] = {1};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    wchar_t name[korvanthelm::bench::kSignalNameCapacity];
    const DWORD length =
        GetEnvironmentVariableW(korvanthelm::bench::kSignalVariable, name, std::size(name));
    if (length == 0 || length >= std::size(name)) {
        return kBallast[0] == 1 ? 0 : 1;
    }
    const std::wstring base(name, length);
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE,
                                            (base + korvanthelm::bench::kMappingSuffix).c_str());
    const HANDLE event =
        OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + korvanthelm::bench::kEventSuffix).c_str());
    if (mapping == nullptr || event == nullptr) {
        return 1;
    }
    auto* signal = static_cast<korvanthelm::bench::LauncherSignal*>(
        MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(korvanthelm::bench::LauncherSignal)));
    if (signal == nullptr) {
        return 1;
    }
    signal->started = now.QuadPart;
    signal->process_id = GetCurrentProcessId();
    UnmapViewOfFile(signal);
    SetEvent(event);
    CloseHandle(event);
    CloseHandle(mapping);
    return 0;
}
