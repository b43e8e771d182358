#include "tools/pack/base/json_reader.h"

#include <algorithm>
#include <cstdint>

namespace korvanthelm::pack {
namespace {

// Deeper documents are no output of ours; the limit keeps the recursion
// bounded on hostile input.
constexpr int kMaxDepth = 64;

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> Document(std::string& error) {
        JsonValue value;
        SkipSpace();
        if (Value(value, 0)) {
            SkipSpace();
            if (at_ == text_.size()) {
                return value;
            }
            Fail("more after the document");
        }
        error = "byte " + std::to_string(failed_at_ + 1) + ": " + failure_;
        return std::nullopt;
    }

  private:
    bool Fail(const char* why) {
        if (failure_.empty()) {
            failure_ = why;
            failed_at_ = at_;
        }
        return false;
    }

    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool Literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return Fail("not a JSON value");
        }
        at_ += word.size();
        return true;
    }

    // `depth`: how many objects and arrays hold this value. Only an object
    // or an array opens a level: 64 of them may hold a string or a number.
    bool Value(JsonValue& value, int depth) {
        if (at_ == text_.size()) {
            return Fail("the document ends where a value should be");
        }
        if ((text_[at_] == '{' || text_[at_] == '[') && depth >= kMaxDepth) {
            return Fail("nested more than 64 levels deep");
        }
        switch (text_[at_]) {
            case '{':
                value.kind = JsonValue::Kind::kObject;
                return Object(value, depth);
            case '[':
                value.kind = JsonValue::Kind::kArray;
                return Array(value, depth);
            case '"':
                value.kind = JsonValue::Kind::kString;
                return String(value.text);
            case 't':
                value.kind = JsonValue::Kind::kBool;
                value.boolean = true;
                return Literal("true");
            case 'f':
                value.kind = JsonValue::Kind::kBool;
                return Literal("false");
            case 'n':
                return Literal("null");
            default:
                value.kind = JsonValue::Kind::kNumber;
                return Number(value.text);
        }
    }

    bool Object(JsonValue& value, int depth) {
        ++at_;  // '{'
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (at_ == text_.size() || text_[at_] != '"') {
                return Fail("an object's key must be a string");
            }
            const std::size_t key_at = at_;
            std::string key;
            if (!String(key)) {
                return false;
            }
            if (value.Member(key) != nullptr) {
                at_ = key_at;
                return Fail("a key repeats an earlier one of the same object");
            }
            SkipSpace();
            if (at_ == text_.size() || text_[at_] != ':') {
                return Fail("a key must be followed by ':'");
            }
            ++at_;
            SkipSpace();
            value.members.push_back(JsonMember{std::move(key), JsonValue{}});
            if (!Value(value.members.back().value, depth + 1)) {
                return false;
            }
            SkipSpace();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == '}') {
                ++at_;
                return true;
            }
            return Fail("an object's member must be followed by ',' or '}'");
        }
    }

    bool Array(JsonValue& value, int depth) {
        ++at_;  // '['
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            SkipSpace();
            value.items.emplace_back();
            if (!Value(value.items.back(), depth + 1)) {
                return false;
            }
            SkipSpace();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == ']') {
                ++at_;
                return true;
            }
            return Fail("an array's item must be followed by ',' or ']'");
        }
    }

    bool Digits() {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            ++at_;
        }
        return at_ > start;
    }

    bool Number(std::string& out) {
        const std::size_t start = at_;
        if (text_[at_] == '-') {
            ++at_;
        }
        if (at_ < text_.size() && text_[at_] == '0') {
            ++at_;  // no leading zeros
        } else if (!Digits()) {
            return Fail("not a JSON value");
        }
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!Digits()) {
                return Fail("a number's fraction has no digits");
            }
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
                ++at_;
            }
            if (!Digits()) {
                return Fail("a number's exponent has no digits");
            }
        }
        out = std::string(text_.substr(start, at_ - start));
        return true;
    }

    // Four hex digits after "\u"; false when they are not.
    bool Hex4(std::uint32_t& unit) {
        if (text_.size() - at_ < 4) {
            return false;
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_ + static_cast<std::size_t>(i)];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            unit = unit * 16 + static_cast<std::uint32_t>(digit);
        }
        at_ += 4;
        return true;
    }

    static void AppendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool Escape(std::string& out) {
        const char c = text_[at_++];
        switch (c) {
            case '"':
            case '\\':
            case '/':
                out += c;
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u':
                break;
            default:
                --at_;
                return Fail("an unknown escape in a string");
        }
        std::uint32_t code = 0;
        if (!Hex4(code)) {
            return Fail("\\u needs four hexadecimal digits");
        }
        if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("a lone low surrogate in a string");
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low = 0;
            if (text_.substr(at_, 2) != "\\u") {
                return Fail("a high surrogate without its low one in a string");
            }
            at_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return Fail("a high surrogate without its low one in a string");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, code);
        return true;
    }

    bool String(std::string& out) {
        ++at_;  // '"'
        for (;;) {
            if (at_ == text_.size()) {
                return Fail("a string is not closed");
            }
            const char c = text_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return Fail("a control character inside a string");
            }
            ++at_;
            if (c != '\\') {
                out += c;
            } else if (at_ == text_.size()) {
                return Fail("a string is not closed");
            } else if (!Escape(out)) {
                return false;
            }
        }
    }

    const std::string_view text_;
    std::size_t at_ = 0;
    std::string failure_;
    std::size_t failed_at_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Member(std::string_view key) const {
    const auto it = std::find_if(members.begin(), members.end(),
                                 [&](const JsonMember& member) { return member.key == key; });
    return it == members.end() ? nullptr : &it->value;
}

std::optional<JsonValue> ParseJson(std::string_view text, std::string& error) {
    return Reader(text).Document(error);
}

}  // namespace korvanthelm::pack
