#include "bootstrap/text_file.h"

#include <windows.h>

#include "platform/unique_resource.h"

namespace korvanthelm {
namespace {

// The record and the build mark are one line each; anything past this is not
// part of a valid file and is not read.
constexpr DWORD kMaxTextBytes = 8192;

}  // namespace

std::wstring ReadUtf8TextFile(const std::wstring& path) {
    char buffer[kMaxTextBytes];
    DWORD read = 0;
    {
        const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          /*security=*/nullptr, OPEN_EXISTING, /*flags=*/0,
                                          /*template=*/nullptr));
        if (!file) {
            return std::wstring();
        }
        // One read: a failed one counts as nothing read.
        if (!ReadFile(file.get(), buffer, kMaxTextBytes, &read, /*overlapped=*/nullptr)) {
            read = 0;
        }
    }
    const char* begin = buffer;
    const char* end = buffer + read;
    if (end - begin >= 3 && static_cast<unsigned char>(begin[0]) == 0xEF &&
        static_cast<unsigned char>(begin[1]) == 0xBB &&
        static_cast<unsigned char>(begin[2]) == 0xBF) {
        begin += 3;
    }
    while (end != begin && (end[-1] == '\r' || end[-1] == '\n' || end[-1] == ' ')) {
        --end;
    }
    if (end == begin) {
        return std::wstring();
    }
    const int size = static_cast<int>(end - begin);
    const int length = MultiByteToWideChar(CP_UTF8, /*flags=*/0, begin, size, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, /*flags=*/0, begin, size, text.data(), length);
    }
    return text;
}

}  // namespace korvanthelm
