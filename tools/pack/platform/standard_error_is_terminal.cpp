#include "tools/pack/platform/standard_error_is_terminal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korvanthelm::pack {

bool StandardErrorIsTerminal() {
#ifdef _WIN32
    // Only a console has a console mode; a file or a pipe has none.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace korvanthelm::pack
