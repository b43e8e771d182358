#include "tools/selftest/platform_checks.h"

// After windows.h (through platform_checks.h): they need its types.
#include <softpub.h>
#include <wintrust.h>

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

CheckLine CheckSignatureTrust(const std::wstring& exe_path) {
    const char* name = "Authenticode signature trusted by Windows";
    using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, void*);
    const UniqueModule wintrust = LoadSystemLibrary(L"wintrust.dll");
    const auto verify = GetLibraryFunction<WinVerifyTrustFn>(wintrust, "WinVerifyTrust");
    if (verify == nullptr) {
        return {name, Outcome::kNotCheckable, "no WinVerifyTrust in System32's wintrust.dll"};
    }
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = exe_path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(status));
    // Wine's WinVerifyTrust does not judge trust as Windows does: it takes a
    // self-signed test certificate as trusted.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        return {name, Outcome::kNotCheckable,
                std::string("Wine answers ") + code + ", but does not judge trust as Windows does"};
    }
    if (status == 0) {
        return {name, Outcome::kPassed, "WinVerifyTrust: trusted"};
    }
    if (status == TRUST_E_NOSIGNATURE || status == TRUST_E_SUBJECT_FORM_UNKNOWN ||
        status == TRUST_E_PROVIDER_UNKNOWN) {
        return {name, Outcome::kNotCheckable,
                std::string("WinVerifyTrust ") + code +
                    ": the exe is not signed (or this "
                    "system cannot read its signature)"};
    }
    return {name, Outcome::kFailed,
            std::string("WinVerifyTrust ") + code +
                (status == CERT_E_UNTRUSTEDROOT ? " (a certificate Windows does not trust)" : "") +
                (status == TRUST_E_BAD_DIGEST ? " (the file changed after signing)" : "")};
}

}  // namespace korvanthelm::selftest
