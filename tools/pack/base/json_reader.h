// JSON documents read back: `build --digests` takes the document `pack
// --json` printed, as a script would hand it over. A strict RFC 8259 reader
// of one document held in memory; the counterpart of json_writer.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

struct JsonMember;

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    bool boolean = false;
    std::string text;  // a string's value (UTF-8), or a number as written
    std::vector<JsonValue> items;
    std::vector<JsonMember> members;  // in document order

    // The member named `key` of an object; nullptr when there is none (or
    // this is not an object).
    const JsonValue* Member(std::string_view key) const;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

// The one JSON value `text` holds, white space allowed around it. nullopt
// when it is not exactly one well-formed value: `error` then says what is
// wrong and at which byte ("byte 12: a string is not closed"). Refuses an
// object that names a key twice (a reader could take either), nesting deeper
// than 64 levels, and control characters inside strings; \u escapes become
// UTF-8 (a lone surrogate is refused). Never throws but for allocation.
std::optional<JsonValue> ParseJson(std::string_view text, std::string& error);

}  // namespace korvanthelm::pack
