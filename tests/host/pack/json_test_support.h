// JSON documents read back for the packer's tests by an independent, strict
// parser (python3's json module), so that a test checks what a script reading
// `--json` would get, not what a search in the text happens to find.
#pragma once

#include <map>
#include <string>

namespace korvanthelm::pack::test {

// Every leaf of the one JSON document `text` by its path ("warnings/0/kind"),
// as python's json.dumps writes the value (a string with its quotes, 12,
// null, true); every array also under "PATH#" as its length and every object
// under "PATH{}" as its keys joined by commas. nullopt-like: an empty map
// and a test failure when `text` is not exactly one valid JSON document.
std::map<std::string, std::string> ParseJson(const std::string& text);

// `text` as a JSON string literal (the form ParseJson gives string values in).
std::string Quoted(const std::string& text);

}  // namespace korvanthelm::pack::test
