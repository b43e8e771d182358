#include "tools/pack/platform/standard_streams.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tools/pack/platform/wide_path.h"
#endif

namespace korvanthelm::pack {

#ifdef _WIN32
namespace {

UINT g_console_code_page = 0;  // the console's own, set back at exit

void RestoreConsoleCodePage() {
    SetConsoleOutputCP(g_console_code_page);
}

}  // namespace

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    g_console_code_page = GetConsoleOutputCP();  // 0 without a console
    if (g_console_code_page != 0 && g_console_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(RestoreConsoleCodePage);
    }
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(Utf8FromWide(argv[i]));
    }
    return arguments;
}
#else
void PrepareStandardStreams() {}
#endif

}  // namespace korvanthelm::pack
