#include "tools/pack/commands/read_digests_file.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/json_reader.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/files.h"

namespace korvanthelm::pack {
namespace {

struct DigestName {
    std::string_view plain;  // pack's standard output
    std::string_view cmake;  // --digests-cmake and --digests-header
    std::string ExecutableDigests::*field;
};

const std::array<DigestName, 3> kNames = {{
    {"PackageDigest", "KORVANTHELM_PACKAGE_SHA256", &ExecutableDigests::package},
    {"LauncherExeDigest", "KORVANTHELM_LAUNCHER_EXE_SHA256", &ExecutableDigests::launcher_exe},
    {"LauncherJarDigest", "KORVANTHELM_LAUNCHER_JAR_SHA256", &ExecutableDigests::launcher_jar},
}};

std::string_view Trim(std::string_view text) {
    const std::string_view blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool Consume(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix)) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

// The name and value of one line in any of the three forms; false when the
// line is none of them.
bool SplitLine(std::string_view line, std::string_view& name, std::string_view& value) {
    const bool cmake = Consume(line, "set(");
    const bool header = !cmake && Consume(line, "#define ");
    if (cmake) {
        if (!line.ends_with(")")) {
            return false;
        }
        line.remove_suffix(1);
    }
    line = Trim(line);
    const std::size_t space = line.find_first_of(" \t");
    if (space == std::string_view::npos) {
        return false;
    }
    name = line.substr(0, space);
    value = Trim(line.substr(space));
    if (cmake || header) {
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
            return false;
        }
        value = value.substr(1, value.size() - 2);
    }
    return true;
}

// The digests of the document `pack --json` printed: its "command" is
// "pack" and it names all three.
ExecutableDigests ParsePackDocument(std::string_view text, const std::string& name) {
    const std::string file = "digests file \"" + PrintableHostPath(name) + "\"";
    std::string error;
    const std::optional<JsonValue> document = ParseJson(text, error);
    if (!document) {
        throw PackError(file + " is not a JSON document: " + error);
    }
    const JsonValue* command = document->Member("command");
    if (command == nullptr || command->kind != JsonValue::Kind::kString) {
        throw PackError(file + " is a JSON document without \"command\", not one of pack --json");
    }
    if (command->text != "pack") {
        throw PackError(file + " is a JSON document of \"" + PrintablePath(command->text) +
                        "\", not of pack --json");
    }
    ExecutableDigests digests;
    for (const auto& [key, field] :
         {std::pair{"package_digest", &ExecutableDigests::package},
          std::pair{"launcher_exe_digest", &ExecutableDigests::launcher_exe},
          std::pair{"launcher_jar_digest", &ExecutableDigests::launcher_jar}}) {
        const JsonValue* value = document->Member(key);
        if (value == nullptr) {
            throw PackError(file + " has no " + key);
        }
        if (value->kind != JsonValue::Kind::kString || !IsDigestText(value->text)) {
            throw PackError(file + ": " + key + " must be 64 lowercase hexadecimal digits");
        }
        digests.*field = value->text;
    }
    return digests;
}

}  // namespace

ExecutableDigests ParseDigestsText(std::string_view text, const std::string& name) {
    // `pack --json` prints one document, an object: '{' first.
    if (const std::size_t first = text.find_first_not_of(" \t\r\n");
        first != std::string_view::npos && text[first] == '{') {
        return ParsePackDocument(text, name);
    }
    ExecutableDigests digests;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        ++line_number;
        // Comments of the three forms: CMake's and the shell's '#', C's "//".
        if (line.empty() || line.starts_with("//") ||
            (line.front() == '#' && !line.starts_with("#define "))) {
            continue;
        }
        const std::string where = "digests file \"" + PrintableHostPath(name) + "\", line " +
                                  std::to_string(line_number) + ": ";
        std::string_view key;
        std::string_view value;
        const DigestName* found = nullptr;
        if (SplitLine(line, key, value)) {
            for (const DigestName& known : kNames) {
                if (key == known.plain || key == known.cmake) {
                    found = &known;
                }
            }
        }
        if (found == nullptr) {
            throw PackError(where + "not a digest line of korvanthelm-pack");
        }
        if (!IsDigestText(value)) {
            throw PackError(where + "a digest must be 64 lowercase hexadecimal digits");
        }
        std::string& slot = digests.*(found->field);
        if (!slot.empty()) {
            throw PackError(where + std::string(found->plain) + " given twice");
        }
        slot = value;
    }
    for (const DigestName& known : kNames) {
        if ((digests.*(known.field)).empty()) {
            throw PackError("digests file \"" + PrintableHostPath(name) + "\" has no " +
                            std::string(known.plain));
        }
    }
    return digests;
}

ExecutableDigests ReadDigestsFile(const std::string& path) {
    const std::vector<std::byte> bytes = ReadWholeFile(path);
    return ParseDigestsText(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path);
}

}  // namespace korvanthelm::pack
