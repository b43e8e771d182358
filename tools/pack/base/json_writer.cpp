#include "tools/pack/base/json_writer.h"

#include <stdexcept>

namespace korvanthelm::pack {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0
// when its first byte starts none (overlong forms, surrogates and code points
// above U+10FFFF are ill-formed, as RFC 3629 says).
std::size_t WellFormedLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void AppendEscaped(std::string& out, unsigned char c) {
    constexpr char kDigits[] = "0123456789abcdef";
    switch (c) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += "\\u00";
            out += kDigits[c >> 4];
            out += kDigits[c & 0xF];
    }
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const std::size_t length = WellFormedLength(text);
        if (length == 0) {
            out += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        const auto c = static_cast<unsigned char>(text.front());
        if (length == 1 && (c < 0x20 || c == 0x7F || c == '"' || c == '\\')) {
            AppendEscaped(out, c);
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}

void JsonWriter::BeforeValue() {
    if (complete_) {
        throw std::logic_error("JSON: a second document");
    }
    if (!open_.empty() && open_.back() == Scope::kObject) {
        if (!key_given_) {
            throw std::logic_error("JSON: a value in an object needs its key");
        }
        key_given_ = false;
        return;
    }
    if (needs_comma_) {
        text_ += ',';
    }
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    if (open_.empty() || open_.back() != Scope::kObject || key_given_) {
        throw std::logic_error("JSON: a key outside an object, or two keys in a row");
    }
    if (needs_comma_) {
        text_ += ',';
    }
    text_ += JsonString(key);
    text_ += ':';
    key_given_ = true;
    return *this;
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    text_ += '{';
    open_.push_back(Scope::kObject);
    needs_comma_ = false;
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    text_ += '[';
    open_.push_back(Scope::kArray);
    needs_comma_ = false;
    return *this;
}

void JsonWriter::Close(Scope scope, char bracket) {
    if (open_.empty() || open_.back() != scope || key_given_) {
        throw std::logic_error("JSON: a close that matches no open, or a key without a value");
    }
    text_ += bracket;
    open_.pop_back();
    needs_comma_ = true;
    complete_ = open_.empty();
}

JsonWriter& JsonWriter::EndObject() {
    Close(Scope::kObject, '}');
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(Scope::kArray, ']');
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
    BeforeValue();
    text_ += JsonString(value);
    needs_comma_ = true;
    complete_ = open_.empty();
    return *this;
}

JsonWriter& JsonWriter::Number(std::uint64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    needs_comma_ = true;
    complete_ = open_.empty();
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    needs_comma_ = true;
    complete_ = open_.empty();
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
    needs_comma_ = true;
    complete_ = open_.empty();
    return *this;
}

std::string JsonWriter::Finish() const {
    if (!complete_) {
        throw std::logic_error("JSON: the document is not complete");
    }
    return text_ + "\n";
}

}  // namespace korvanthelm::pack
