#include "bootstrap/environment.h"

#include <windows.h>

namespace korvanthelm {

std::wstring ReadEnvironmentVariable(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    // 0: unset, empty or an error; above 32767: the size it would need.
    if (length == 0 || length > 32767) {
        return std::wstring();
    }
    return std::wstring(buffer, length);
}

}  // namespace korvanthelm
