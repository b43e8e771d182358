// korvanthelm-pack: turns a launcher tree into the package resource the
// bootstrapper carries, assembles KORVANTHELM.exe from the prebuilt stub, and
// lists or verifies packages and built executables, and tries a built one
// under Wine as players would run it.
// Exit status: 0 success, 1 failure (one line on stderr), 2 bad command line.
#include <cstdio>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/cli/help_texts.h"
#include "tools/pack/cli/parse_command_line.h"
#include "tools/pack/cli/print_output.h"
#include "tools/pack/cli/run_build.h"
#include "tools/pack/cli/run_list_and_verify.h"
#include "tools/pack/cli/run_pack.h"
#include "tools/pack/platform/this_process.h"
#ifndef _WIN32
#include "tools/pack/cli/run_try.h"
#endif

#ifndef KORVANTHELM_VERSION
#error "KORVANTHELM_VERSION must name the tools' version"
#endif

namespace korvanthelm::pack {
namespace {

int Run(std::span<const std::string_view> args) {
    if (args.empty()) {
        std::fputs(cli::kUsage, stderr);
        return 2;
    }
    const std::string_view command = args.front();
    const std::span<const std::string_view> rest = args.subspan(1);
    if (cli::IsHelp(command)) {
        std::fputs(cli::kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("korvanthelm-pack " KORVANTHELM_VERSION);
        return 0;
    }
    if (command == "pack") {
        return cli::RunPack(rest);
    }
    if (command == "build") {
        return cli::RunBuild(rest, KORVANTHELM_VERSION);
    }
    if (command == "list") {
        return cli::RunList(rest);
    }
    if (command == "verify") {
        return cli::RunVerify(rest, KORVANTHELM_VERSION);
    }
    if (command == "try") {
#ifdef _WIN32
        // try starts the exe in a private Wine prefix with the watcher: the
        // Windows packer has no Wine to start.
        throw PackError(
            "try runs KORVANTHELM.exe under Wine, a Linux feature: on Windows start it "
            "yourself");
#else
        return cli::RunTry(rest, KORVANTHELM_VERSION);
#endif
    }
    return cli::RefuseCommandLine("unknown command " + std::string(command), /*command=*/"");
}

}  // namespace
}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// The one catch: every failure that ends the run is one line on stderr.
int RunCaught(const std::vector<std::string>& arguments) {
    try {
        const std::vector<std::string_view> args(arguments.begin(), arguments.end());
        return Run(args);
    } catch (const PackError& error) {
        // One line whatever the message quotes.
        std::fprintf(stderr, "korvanthelm-pack: %s\n", PrintableLine(error.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fputs("korvanthelm-pack: out of memory\n", stderr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvanthelm-pack: %s\n", PrintableLine(error.what()).c_str());
    }
    return 1;
}

}  // namespace
}  // namespace korvanthelm::pack

#ifdef _WIN32
// The command line as Windows gives it, UTF-16, carried on as UTF-8.
int wmain(int argc, wchar_t** argv) {
    korvanthelm::pack::PrepareStandardStreams();
    std::vector<std::string> arguments;
    try {
        arguments = korvanthelm::pack::Utf8Arguments(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("korvanthelm-pack: out of memory\n", stderr);
        return 1;
    }
    return korvanthelm::pack::RunCaught(arguments);
}
#else
int main(int argc, char** argv) {
    std::vector<std::string> arguments;
    try {
        arguments.assign(argv + 1, argv + argc);
    } catch (const std::bad_alloc&) {
        std::fputs("korvanthelm-pack: out of memory\n", stderr);
        return 1;
    }
    return korvanthelm::pack::RunCaught(arguments);
}
#endif
