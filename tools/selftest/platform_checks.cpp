#include "tools/selftest/platform_checks.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "package/compression_api.h"
#include "platform/sha256.h"
#include "platform/system_library.h"

namespace korvanthelm::selftest {
namespace {

std::string Address(const void* address) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

}  // namespace

CheckLine CheckCabinetOrdinals() {
    CheckLine line{"cabinet.dll ordinals 40/43/45", Outcome::kPassed, ""};
    const UniqueModule cabinet = LoadSystemLibrary(L"cabinet.dll");
    if (!cabinet) {
        return {line.name, Outcome::kNotCheckable,
                "no cabinet.dll in System32 (" + ErrorText(GetLastError()) + ")"};
    }
    const struct {
        const char* name;
        WORD ordinal;
    } kFunctions[] = {
        {"CreateDecompressor", CompressionApi::kCreateDecompressorOrdinal},
        {"Decompress", CompressionApi::kDecompressOrdinal},
        {"CloseDecompressor", CompressionApi::kCloseDecompressorOrdinal},
    };
    for (const auto& f : kFunctions) {
        const void* by_name = GetLibraryFunction<void*>(cabinet, f.name);
        const void* by_ordinal = GetLibraryFunction<void*>(cabinet, f.ordinal);
        if (by_name == nullptr) {
            return {line.name, Outcome::kNotCheckable,
                    std::string("this cabinet.dll exports no ") + f.name +
                        " by name to compare with (Wine's own and Windows before 8 have no "
                        "Compression API; the tests' stand-in exports ordinals only)"};
        }
        if (by_name != by_ordinal) {
            return {line.name, Outcome::kFailed,
                    std::string(f.name) + " is at " + Address(by_name) + ", ordinal " +
                        std::to_string(f.ordinal) + " at " + Address(by_ordinal)};
        }
        line.detail += (line.detail.empty() ? "" : ", ") + std::string(f.name) + " = " +
                       std::to_string(f.ordinal);
    }
    return line;
}

CheckLine CheckSha256KnownAnswers() {
    const std::string million(1000000, 'a');
    const struct {
        const char* what;
        std::string data;
        const wchar_t* digest;
    } kVectors[] = {
        {"empty", "", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"\"abc\"", "abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million 'a'", million,
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : kVectors) {
        std::wstring computed;
        try {
            computed =
                ComputeSha256Text(reinterpret_cast<const std::byte*>(v.data.data()), v.data.size());
        } catch (const std::wstring& message) {
            return {"SHA-256 known answers", Outcome::kFailed,
                    std::string(v.what) + ": " + Utf8(message)};
        }
        if (!DigestTextMatches(computed, v.digest)) {
            return {"SHA-256 known answers", Outcome::kFailed,
                    std::string(v.what) + " gave " + Utf8(computed)};
        }
    }
    return {"SHA-256 known answers", Outcome::kPassed, "4 vectors through bcrypt"};
}

}  // namespace korvanthelm::selftest
