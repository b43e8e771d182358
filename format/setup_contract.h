// The set-up program's contract with the bootstrapper: what the set-up program
// leaves behind so that the next start hands over to the installed launcher,
// how the bootstrapper reads it, and the names of what the bootstrapper itself
// makes and honours. The bootstrapper follows it on a player's machine; the
// packer's `try` judges a set-up program by it after a run under Wine. Both
// take it from here, so the judge cannot drift from what is judged.
//
//   %APPDATA%\KORVANTHELM\launcher.path     the launcher record: one UTF-8 line,
//                                           the installed launcher exe's full path
//   <launcher folder>\app\launcher.build    the build mark: LauncherJarDigest
//   <launcher folder>\app\KorvanThelm.jar   the launcher jar
//   %APPDATA%\KORVANTHELM\update.request    present: the next start unpacks again
//   %TEMP%\korvanthelm-setup-<32 hex>       a start's work directory
//
// The launcher folder is the record up to its last backslash (all of it when
// it has none). Paths are spelled as on Windows, each starting with the
// backslash that joins it to the folder it lies in. Portable: no <windows.h>;
// the names are ASCII, so SpelledAs gives the bootstrapper's UTF-16 ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvanthelm::format {

// Below %APPDATA%.
inline constexpr char kLauncherRecordPath[] = "\\KORVANTHELM\\launcher.path";
inline constexpr char kUpdateRequestPath[] = "\\KORVANTHELM\\update.request";
// Below the launcher folder.
inline constexpr char kBuildMarkPath[] = "\\app\\launcher.build";
inline constexpr char kLauncherJarPath[] = "\\app\\KorvanThelm.jar";
// Below %TEMP%: the start of each work directory's name; 32 lowercase hex
// digits follow.
inline constexpr char kWorkDirectoryPath[] = "\\korvanthelm-setup-";

// The record and the build mark are one line each: only this much of either
// file is read, in one read, and the rest is not part of it.
inline constexpr std::size_t kTextFileLimit = 8192;
// A launcher exe or jar larger than this is never hashed: it does not match.
inline constexpr std::uint64_t kLauncherFileLimit = std::uint64_t{256} << 20;

// The text of the record or the build mark: the bytes read (at most
// kTextFileLimit), a leading UTF-8 byte order mark dropped, then every
// trailing CR, LF and space; nothing else trimmed.
constexpr std::string_view ContractText(std::string_view bytes) {
    bytes = bytes.substr(0, kTextFileLimit);
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    while (!bytes.empty() &&
           (bytes.back() == '\r' || bytes.back() == '\n' || bytes.back() == ' ')) {
        bytes.remove_suffix(1);
    }
    return bytes;
}

// One of the names above in code units of type `Char` (wchar_t for the
// bootstrapper), made by the compiler: `text` holds it with its terminating
// zero.
template <typename Char, std::size_t N>
struct SpelledName {
    Char text[N];
};
template <typename Char, std::size_t N>
constexpr SpelledName<Char, N> SpelledAs(const char (&ascii)[N]) {
    SpelledName<Char, N> spelled{};
    for (std::size_t i = 0; i < N; ++i) {
        spelled.text[i] = static_cast<Char>(ascii[i]);
    }
    return spelled;
}

static_assert(ContractText("\xEF\xBB\xBF"
                           "C:\\L\\l.exe \r\n") == "C:\\L\\l.exe");
static_assert(ContractText(" a\t") == " a\t", "only CR, LF and space trail");
static_assert(ContractText("\r\n\xEF\xBB\xBF"
                           "a") ==
                  "\r\n\xEF\xBB\xBF"
                  "a",
              "the byte order mark only at the start");
static_assert(SpelledAs<char16_t>(kUpdateRequestPath).text[1] == u'K');

}  // namespace korvanthelm::format
