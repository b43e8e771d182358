#include "tools/pack/platform/wide_path.h"

#include <windows.h>

#include <vector>

namespace korvanthelm::pack {
namespace {

// Below MAX_PATH (260) with room for the 8.3 name and the terminator that
// CreateDirectoryW needs: a longer path goes through the "\\?\" form.
constexpr std::size_t kClassicPathLimit = 248;
constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;  // the open that follows reports what is wrong with it
    }
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return path;
    }
    full.resize(written);
    return full;
}

std::wstring WithLongPrefix(std::wstring path) {
    if (path.size() < kClassicPathLimit || path.starts_with(kLongPrefix)) {
        return path;
    }
    path = FullPath(path);
    if (path.starts_with(L"\\\\")) {
        return std::wstring(kLongUncPrefix) + path.substr(2);
    }
    return std::wstring(kLongPrefix) + path;
}

}  // namespace

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
    return wide;
}

std::string Utf8FromWide(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = static_cast<char16_t>(text[i]);
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size()) {
            const char32_t next = static_cast<char16_t>(text[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, unit);  // a lone surrogate too, in its generalized form
    }
    return out;
}

std::wstring WidePath(const std::string& path) {
    std::wstring wide = WideFromUtf8(path);
    if (!wide.starts_with(kLongPrefix)) {
        for (wchar_t& unit : wide) {
            if (unit == L'/') {
                unit = L'\\';
            }
        }
    }
    return WithLongPrefix(std::move(wide));
}

std::wstring FullWidePath(const std::string& path) {
    const std::wstring wide = WidePath(path);
    const std::wstring full = FullPath(wide);
    return full == wide && GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr) == 0 ? std::wstring()
                                                                                    : full;
}

std::wstring WideChildPath(const std::wstring& folder, const std::string& name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') {
        path.push_back(L'\\');
    }
    path += WideFromUtf8(name);
    return WithLongPrefix(std::move(path));
}

std::string WindowsErrorText(unsigned long error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        /*source=*/nullptr, error, /*language=*/0, reinterpret_cast<wchar_t*>(&buffer),
        /*size=*/0, /*arguments=*/nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'.')) {
        text.pop_back();
    }
    if (text.empty()) {
        return "error " + std::to_string(error);
    }
    return Utf8FromWide(text);
}

}  // namespace korvanthelm::pack
