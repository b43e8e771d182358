#include "bootstrap/text_file.h"

#include <windows.h>

#include <string_view>

#include "format/setup_contract.h"
#include "platform/unique_resource.h"

namespace korvanthelm {
namespace {

constexpr DWORD kMaxTextBytes = format::kTextFileLimit;

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
    const std::string_view bytes = format::ContractText(std::string_view(buffer, read));
    if (bytes.empty()) {
        return std::wstring();
    }
    const char* const begin = bytes.data();
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_UTF8, /*flags=*/0, begin, size, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, /*flags=*/0, begin, size, text.data(), length);
    }
    return text;
}

}  // namespace korvanthelm
