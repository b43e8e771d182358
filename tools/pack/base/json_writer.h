// The packer's machine-readable output: one JSON document (RFC 8259) built in
// memory and printed at the end, so that a failing run prints none at all
// rather than half of one. Keys are the caller's (lower_snake_case by
// convention); string values may hold any bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

class JsonWriter {
  public:
    // An object or array is opened and closed in pairs; inside an object each
    // value follows its Key. Misuse (a value without a key in an object, a
    // close that does not match) is a programming error and throws
    // std::logic_error, so that a broken document is never printed.
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);

    JsonWriter& String(std::string_view value);
    JsonWriter& Number(std::uint64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The document, with a final newline; throws std::logic_error while an
    // object or array is still open or nothing was written.
    std::string Finish() const;

  private:
    enum class Scope { kObject, kArray };
    void BeforeValue();
    void Close(Scope scope, char bracket);

    std::string text_;
    std::vector<Scope> open_;
    bool needs_comma_ = false;
    bool key_given_ = false;
    bool complete_ = false;
};

// `text` as a JSON string, quotes included. Well-formed UTF-8 passes through;
// '"', '\\' and the control characters U+0000 to U+001F and U+007F are
// escaped; every byte that is not part of a well-formed UTF-8 sequence
// becomes U+FFFD, since a JSON text must be UTF-8 (a file name on Linux need
// not be).
std::string JsonString(std::string_view text);

}  // namespace korvanthelm::pack
