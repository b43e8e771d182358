#include <windows.h>
// After windows.h, in this order: each needs the types of the ones before
// (WIN32_LEAN_AND_MEAN leaves wincrypt.h out of windows.h).
// clang-format off
#include <wincrypt.h>
#include <wintrust.h>
#include <mssip.h>
#include <softpub.h>
// clang-format on

#include <cstdio>

#include "platform/system_library.h"
#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/verify_image_trust.h"
#include "tools/pack/platform/temporary_files.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using ProvDataFn = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using ProvSignerFn = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using NameToStrFn = DWORD(WINAPI*)(DWORD, PCERT_NAME_BLOB, DWORD, LPWSTR, DWORD);

struct TrustFunctions {
    UniqueModule crypt32 = LoadSystemLibrary(L"crypt32.dll");
    UniqueModule wintrust = LoadSystemLibrary(L"wintrust.dll");
    WinVerifyTrustFn verify = GetLibraryFunction<WinVerifyTrustFn>(wintrust, "WinVerifyTrust");
    ProvDataFn data = GetLibraryFunction<ProvDataFn>(wintrust, "WTHelperProvDataFromStateData");
    ProvSignerFn signer =
        GetLibraryFunction<ProvSignerFn>(wintrust, "WTHelperGetProvSignerFromChain");
    NameToStrFn name = GetLibraryFunction<NameToStrFn>(crypt32, "CertNameToStrW");
};

// The names OpenSSL gives the digests Authenticode uses.
std::string DigestName(const char* oid) {
    const std::string id = oid != nullptr ? oid : "";
    if (id == "2.16.840.1.101.3.4.2.1")
        return "SHA256";
    if (id == "2.16.840.1.101.3.4.2.2")
        return "SHA384";
    if (id == "2.16.840.1.101.3.4.2.3")
        return "SHA512";
    if (id == "1.3.14.3.2.26")
        return "SHA1";
    return id;
}

TrustVerdict VerdictOf(LONG status) {
    switch (static_cast<HRESULT>(status)) {
        case ERROR_SUCCESS:
            return TrustVerdict::kTrusted;
        case TRUST_E_BAD_DIGEST:
            return TrustVerdict::kChanged;
        // The signature verifies; only the certificate is not one to trust.
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_CHAINING:
        case CERT_E_UNTRUSTEDTESTROOT:
        case CERT_E_EXPIRED:
        case CERT_E_REVOKED:
        case CERT_E_WRONG_USAGE:
        case CERT_E_VALIDITYPERIODNESTING:
        case TRUST_E_EXPLICIT_DISTRUST:
        case TRUST_E_COUNTER_SIGNER:
        case TRUST_E_TIME_STAMP:
            return TrustVerdict::kUntrusted;
        default:
            return TrustVerdict::kBroken;
    }
}

std::string UtcText(const FILETIME& time) {
    SYSTEMTIME utc{};
    if (!FileTimeToSystemTime(&time, &utc)) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth,
                  utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
    return text;
}

// What the provider state says about the signer, read before it is closed.
void ReadSigner(const TrustFunctions& trust, HANDLE state, ImageTrust& result) {
    CRYPT_PROVIDER_DATA* data = trust.data(state);
    if (data == nullptr) {
        return;
    }
    if (data->pPDSip != nullptr && data->pPDSip->psIndirectData != nullptr) {
        const SIP_INDIRECT_DATA& indirect = *data->pPDSip->psIndirectData;
        result.signed_digest =
            HexText(std::span<const unsigned char>(indirect.Digest.pbData, indirect.Digest.cbData));
        result.digest_algorithm = DigestName(indirect.DigestAlgorithm.pszObjId);
    }
    CRYPT_PROVIDER_SGNR* signer = trust.signer(data, 0, FALSE, 0);
    if (signer == nullptr) {
        return;
    }
    if (signer->csCounterSigners > 0 && result.verdict != TrustVerdict::kBroken) {
        result.timestamp = UtcText(signer->sftVerifyAsOf);
    }
    if (signer->csCertChain == 0 || signer->pasCertChain[0].pCert == nullptr) {
        return;
    }
    CERT_NAME_BLOB* subject = &signer->pasCertChain[0].pCert->pCertInfo->Subject;
    // Most specific part last, unquoted, as OpenSSL prints a subject on Linux.
    const DWORD flags =
        CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    const DWORD length = trust.name(X509_ASN_ENCODING, subject, flags, nullptr, 0);
    std::wstring text(length, L'\0');
    trust.name(X509_ASN_ENCODING, subject, flags, text.data(), length);
    if (!text.empty()) {
        text.pop_back();  // the terminator counted in the length
    }
    result.signer = Utf8FromWide(text);
}

}  // namespace

ImageTrust VerifyImageTrust(std::span<const std::byte> image) {
    const TrustFunctions trust;
    if (!trust.verify || !trust.data || !trust.signer || !trust.name) {
        throw PackError(
            "cannot check signatures: wintrust.dll or crypt32.dll from System32 lacks "
            "a function");
    }
    // The system judges files: the image goes to a private one in TEMP that
    // the system deletes when it is closed, also should the packer die.
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD temp_length = GetTempPathW(MAX_PATH + 1, temp);
    if (temp_length == 0 || temp_length > MAX_PATH) {
        throw PackError("cannot check the signature: no temporary folder");
    }
    std::string path;
    int error = 0;
    const UniqueFd file =
        CreateNewFile(Utf8FromWide(temp) + "korvanthelm-verify-", ".exe", path, error);
    if (!file) {
        throw PackError("cannot check the signature: cannot create a temporary file: " +
                        WindowsErrorText(static_cast<DWORD>(error)));
    }
    // From here the file goes when its handle closes.
    FILE_DISPOSITION_INFO dispose{TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof(dispose));
    // One write: every input the packer reads is under 3 GiB (kMaxInputFileSize).
    if (image.size() > 0xFFFFFFFFu) {
        throw PackError("cannot check the signature: the image is over 4 GiB");
    }
    DWORD wrote = 0;
    if (!WriteFile(file.get(), image.data(), static_cast<DWORD>(image.size()), &wrote, nullptr) ||
        wrote != image.size()) {
        throw PackError("cannot check the signature: cannot write a temporary file: " +
                        WindowsErrorText(GetLastError()));
    }
    const std::wstring wide = WidePath(path);
    WINTRUST_FILE_INFO file_info{};
    file_info.cbStruct = sizeof(file_info);
    file_info.pcwszFilePath = wide.c_str();
    file_info.hFile = file.get();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    ImageTrust result;
    result.verdict = VerdictOf(status);
    if (result.verdict == TrustVerdict::kUntrusted || result.verdict == TrustVerdict::kBroken) {
        result.reason = WindowsErrorText(static_cast<DWORD>(status));
    }
    ReadSigner(trust, data.hWVTStateData, result);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace korvanthelm::pack
