#include "tools/pack/signing/check_signing_prerequisites.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/base/unique_openssl.h"
#include "tools/pack/platform/this_process.h"
#include "tools/pack/signing/load_signing_certificate.h"
#include "tools/pack/signing/pkcs11_engine_path.h"
#include "tools/pack/signing/pkcs11_uri.h"
#include "tools/pack/signing/read_signing_file.h"
#include "tools/pack/signing/read_token_public_key.h"
#include "tools/pack/signing/signing_password.h"
#include "tools/pack/signing/signing_time.h"

namespace korvanthelm::pack {
namespace {

using UniqueBignum = UniqueOpenSsl<BIGNUM, BN_free>;

std::vector<unsigned char> BignumParameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    const bool read = EVP_PKEY_get_bn_param(key, name, &raw) == 1;
    const UniqueBignum number(raw);
    if (!read) {
        return {};
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
    BN_bn2bin(number.get(), bytes.data());
    return bytes;
}

// A token's number without the leading zero bytes some tokens keep.
std::vector<unsigned char> WithoutLeadingZeros(const std::vector<unsigned char>& bytes) {
    std::size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0) {
        ++first;
    }
    return {bytes.begin() + static_cast<std::ptrdiff_t>(first), bytes.end()};
}

// The encoded point of an EC key; a token gives it wrapped in a DER OCTET
// STRING (tag 04, one length byte for every curve up to P-521), or bare.
bool SameEcPoint(const EVP_PKEY* key, const std::vector<unsigned char>& token_point) {
    std::size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0,
                                        &size) != 1) {
        return false;
    }
    std::vector<unsigned char> point(size);
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                        point.size(), &size) != 1) {
        return false;
    }
    point.resize(size);
    const bool wrapped = token_point.size() == point.size() + 2 && token_point[0] == 0x04 &&
                         token_point[1] == point.size();
    return token_point == point ||
           (wrapped && std::equal(point.begin(), point.end(), token_point.begin() + 2));
}

// What can be known without the PIN: the token's public key object for the
// URI, when it shows one, must be the certificate's key.
void CheckTokenKeyMatchesCertificate(const SigningOptions& options, const X509* certificate) {
    const std::optional<TokenKeyQuery> query = TokenKeyQueryOf(options.key);
    if (!query) {
        return;
    }
    const std::optional<TokenPublicKey> token_key =
        ReadTokenPublicKey(options.pkcs11_module, *query);
    const EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (!token_key || key == nullptr) {
        ERR_clear_error();
        return;  // hidden without the PIN: osslsigncode will compare them
    }
    const int type = EVP_PKEY_get_base_id(key);
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) {
        return;  // a kind of key only the signer compares
    }
    const bool same = type == EVP_PKEY_RSA
                          ? !token_key->rsa_modulus.empty() &&
                                BignumParameter(key, OSSL_PKEY_PARAM_RSA_N) ==
                                    WithoutLeadingZeros(token_key->rsa_modulus) &&
                                BignumParameter(key, OSSL_PKEY_PARAM_RSA_E) ==
                                    WithoutLeadingZeros(token_key->rsa_exponent)
                          : !token_key->ec_point.empty() && SameEcPoint(key, token_key->ec_point);
    ERR_clear_error();
    if (!same) {
        throw PackError("the key \"" + options.key + "\" in the token does not belong to the " +
                        "certificate \"" + options.cert + "\"");
    }
}

void CheckTokenPrerequisites(const SigningOptions& options) {
    // Loading a FIFO would wait for a writer: only a regular file is loaded.
    RequireRegularModuleFile(options.pkcs11_module);
    // libp11, which osslsigncode loads the module through, asks for this entry point.
    const std::string failure =
        SharedLibraryLoadFailure(options.pkcs11_module, "C_GetFunctionList");
    if (!failure.empty()) {
        throw PackError("the PKCS#11 module \"" + options.pkcs11_module +
                        "\" does not load: " + failure);
    }
    // osslsigncode reaches the module through OpenSSL's engine, which is a
    // package of its own: missing, the signer would fail after the compression.
    const std::string engine = Pkcs11EnginePath();
    if (const std::string reason = SharedLibraryLoadFailure(engine, kEngineEntryPoint);
        !reason.empty()) {
        throw PackError("OpenSSL's PKCS#11 engine \"" + engine +
                        "\", through which osslsigncode reaches the token, does not load "
                        "(Debian package libengine-pkcs11-openssl): " +
                        reason);
    }
    // Without it osslsigncode would stop at its own PIN prompt, which nobody reads.
    if (!SigningPassword()) {
        throw PackError(std::string("the key in the token needs its PIN in ") +
                        kSigningPasswordVariable + ", which is not set");
    }
    // A token not plugged in, or of another label, the signer finds only
    // after the compression.
    const std::optional<std::vector<std::string>> labels =
        PresentTokenLabels(options.pkcs11_module);
    const std::optional<TokenKeyQuery> query = TokenKeyQueryOf(options.key);
    const std::string wanted = query ? query->token_label : std::string();
    if (labels && (labels->empty() || (!wanted.empty() && std::find(labels->begin(), labels->end(),
                                                                    wanted) == labels->end()))) {
        std::string shown;
        for (const std::string& label : *labels) {
            shown += (shown.empty() ? "it shows \"" : ", \"") + PrintablePath(label) + "\"";
        }
        throw PackError((wanted.empty() ? std::string("no token")
                                        : "no token \"" + PrintablePath(wanted) + "\"") +
                        " is present in the PKCS#11 module \"" + options.pkcs11_module + "\" (" +
                        (shown.empty() ? std::string("it shows none") : shown) + ")");
    }
}

}  // namespace

void CheckSigningPrerequisites(const SigningOptions& options) {
    for (const std::string& url : options.timestamp_urls) {
        if (!IsTimestampUrl(url)) {
            throw PackError("the timestamp URL \"" + url +
                            "\" is not an http:// or https:// address with a host");
        }
    }
    if (options.cert.empty()) {
        return;  // a signing command, or no signing
    }
    if (!options.pkcs11_module.empty()) {
        CheckTokenPrerequisites(options);
    }
    const std::optional<std::time_t> epoch = SourceDateEpoch();
    const UniqueX509 certificate = LoadSigningCertificate(options);
    if (!options.pkcs11_module.empty()) {
        CheckTokenKeyMatchesCertificate(options, certificate.get());
    }
    RequireSigningTimeInValidity(certificate.get(), epoch.value_or(std::time(nullptr)),
                                 epoch.has_value());
}

}  // namespace korvanthelm::pack
