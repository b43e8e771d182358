#include <optional>
#include <string_view>

#include "tools/pack/signing/check_signing_prerequisites.h"

namespace korvanthelm::pack {
namespace {

bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHostCharacter(char c) {
    return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '.';
}

bool IsIpv6Character(char c) {
    return IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

// `text` without the scheme when it starts with `scheme`, ASCII case ignored.
std::optional<std::string_view> AfterScheme(std::string_view text, std::string_view scheme) {
    if (text.size() < scheme.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != scheme[i]) {
            return std::nullopt;
        }
    }
    return text.substr(scheme.size());
}

// The host of `authority`: a name or IPv4 address, or an IPv6 address in
// brackets; empty when there is none.
std::size_t HostLength(std::string_view authority) {
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos || close < 3) {
            return 0;
        }
        for (std::size_t i = 1; i < close; ++i) {
            if (!IsIpv6Character(authority[i])) {
                return 0;
            }
        }
        return close + 1;
    }
    std::size_t length = 0;
    while (length < authority.size() && IsHostCharacter(authority[length])) {
        ++length;
    }
    return length;
}

}  // namespace

bool IsTimestampUrl(std::string_view url) {
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') {
            return false;
        }
    }
    std::optional<std::string_view> rest = AfterScheme(url, "http://");
    if (!rest) {
        rest = AfterScheme(url, "https://");
    }
    if (!rest) {
        return false;
    }
    const std::size_t host = HostLength(*rest);
    if (host == 0) {
        return false;
    }
    std::string_view after = rest->substr(host);
    if (!after.empty() && after.front() == ':') {
        std::size_t digits = 1;
        while (digits < after.size() && IsAsciiDigit(after[digits])) {
            ++digits;
        }
        if (digits == 1 || digits > 6) {
            return false;
        }
        after.remove_prefix(digits);
    }
    return after.empty() || after.front() == '/' || after.front() == '?' || after.front() == '#';
}

}  // namespace korvanthelm::pack
