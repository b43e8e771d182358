// The set-up program inside the peer benchmark's tree: writes the
// performance counter at its first instruction to the file named by
// KORVANTHELM_BENCH_SETUP_STARTED, then exits. The counter is one clock for
// every process of the machine, so the benchmark can tell how long the
// bootstrapper took to reach it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    wchar_t path[MAX_PATH + 1];
    const DWORD length =
        GetEnvironmentVariableW(L"KORVANTHELM_BENCH_SETUP_STARTED", path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return 2;
    }
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, &now.QuadPart, sizeof(now.QuadPart), &written, nullptr);
    CloseHandle(file);
    return ok && written == sizeof(now.QuadPart) ? 0 : 4;
}
