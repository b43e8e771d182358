#include "demo/demo_log.h"

#include <windows.h>

#include "demo/ensure_directory.h"
#include "demo/process_context.h"
#include "demo/utf8.h"
#include "platform/unique_resource.h"

namespace korvanthelm::demo {

std::wstring DemoLogPath(const std::wstring& local_app_data) {
    return local_app_data + L"\\KORVANTHELM\\demo.log";
}

bool AppendDemoLog(std::wstring_view line) {
    const std::wstring local_app_data = ReadEnvironmentVariable(L"LOCALAPPDATA");
    if (local_app_data.empty()) {
        return false;
    }
    if (EnsureDirectory(local_app_data + L"\\KORVANTHELM") != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring path = DemoLogPath(local_app_data);
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end
    // of the file as it is at that moment, whoever else is appending.
    UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                /*security=*/nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                /*template=*/nullptr));
    if (!file) {
        return false;
    }
    std::string bytes = ToUtf8(line);
    bytes += "\r\n";
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     /*overlapped=*/nullptr) &&
           written == bytes.size();
}

}  // namespace korvanthelm::demo
