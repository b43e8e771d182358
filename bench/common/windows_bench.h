// What every Windows benchmark needs: UTF-8 output, a clock, medians, whole
// files, and a way to give up with a message.
#pragma once

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_resource.h"

namespace korvanthelm::bench {

inline void PrintWide(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

// Prints "<program>: <what>" and ends the benchmark with exit code 2.
[[noreturn]] inline void FailBenchmark(const wchar_t* program, const std::wstring& what) {
    std::fflush(stdout);
    PrintWide(std::wstring(program) + L": " + what + L"\n");
    std::fflush(stdout);
    std::exit(2);
}

inline double Frequency() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return frequency;
}

inline std::int64_t Ticks() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Seconds on the performance counter.
inline double Now() {
    return static_cast<double>(Ticks()) / Frequency();
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The whole file in one read; gives up (FailBenchmark) when it cannot.
inline std::vector<std::byte> ReadWholeFile(const wchar_t* program, const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0xFFFFFFFF) {
        FailBenchmark(program, L"cannot open " + path + L" (at most 4 GiB)");
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size()) {
        FailBenchmark(program, L"cannot read " + path);
    }
    return bytes;
}

// The number options ("--NAME N") after a benchmark's `first` positional
// arguments: each named one found sets its int; anything else, or a --rounds
// below 1, gives up (FailBenchmark).
inline void ParseNumberOptions(const wchar_t* program, int argc, wchar_t** argv, int first,
                               std::initializer_list<std::pair<const wchar_t*, int*>> options) {
    for (int i = first; i < argc; ++i) {
        const std::wstring arg = argv[i];
        int* target = nullptr;
        for (const auto& [name, value] : options) {
            target = arg == name ? value : target;
        }
        if (target == nullptr || i + 1 == argc) {
            FailBenchmark(program, L"unknown or incomplete argument " + arg);
        }
        *target = _wtoi(argv[++i]);
        if (arg == L"--rounds" && *target < 1) {
            FailBenchmark(program, L"--rounds must be at least 1");
        }
    }
}

inline bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Under Wine, the Linux sync(2) system call, so a timed run does not pay for
// writing back what an earlier one left dirty in the page cache. Wine runs
// this program's code natively, so the call goes straight to the kernel; on
// Windows it is skipped (the number means something else there).
inline void SyncLinuxDisk() {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool wine = RunningUnderWine();
    if (wine) {
        long result = 0;
        constexpr long kLinuxSync = 162;
        asm volatile("syscall" : "=a"(result) : "a"(kLinuxSync) : "rcx", "r11", "memory");
    }
#endif
}

// The body of a benchmark's wmain: plain LF line ends (the figures are read
// and pasted on the Linux side), and an escaping exception printed as
// "<program>: <what>" with exit code 2.
inline int RunBenchmark(const char* program, int (*run)(int, wchar_t**), int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::printf("%s: %s\n", program, e.what());
        return 2;
    }
}

}  // namespace korvanthelm::bench
