#include "tools/pack/signing/pkcs11_uri.h"

#include <string>

namespace korvanthelm::pack {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> PercentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3 || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
            return std::nullopt;
        }
        decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
        i += 2;
    }
    return decoded;
}

}  // namespace

std::optional<TokenKeyQuery> TokenKeyQueryOf(std::string_view uri) {
    constexpr std::string_view kScheme = "pkcs11:";
    if (uri.substr(0, kScheme.size()) != kScheme) {
        return std::nullopt;
    }
    std::string_view path = uri.substr(kScheme.size());
    path = path.substr(0, path.find('?'));
    TokenKeyQuery query;
    while (!path.empty()) {
        const std::size_t end = path.find(';');
        const std::string_view attribute = path.substr(0, end);
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
        const std::size_t equals = attribute.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::optional<std::string> value = PercentDecoded(attribute.substr(equals + 1));
        if (!value) {
            return std::nullopt;
        }
        const std::string_view name = attribute.substr(0, equals);
        if (name == "token") {
            query.token_label = *value;
        } else if (name == "object") {
            query.object_label = *value;
        } else if (name == "id") {
            query.id.assign(value->begin(), value->end());
        }
    }
    if (query.object_label.empty() && query.id.empty()) {
        return std::nullopt;
    }
    return query;
}

}  // namespace korvanthelm::pack
