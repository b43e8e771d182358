#include "tools/pack/signing/load_signing_certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/signing/read_signing_file.h"
#include "tools/pack/signing/signing_password.h"

namespace korvanthelm::pack {
namespace {

// The file read whole (ReadSigningFile: never blocks, never floods), as a
// BIO over `bytes`, which must outlive it.
UniqueBio OpenFile(const std::vector<std::byte>& bytes) {
    UniqueBio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) {
        throw PackError("out of memory (OpenSSL)");
    }
    return bio;
}

int PasswordCallback(char* buffer, int size, int, void* password) {
    const auto* text = static_cast<const std::optional<std::string>*>(password);
    if (!*text || static_cast<int>((*text)->size()) > size) {
        return -1;
    }
    std::memcpy(buffer, (*text)->data(), (*text)->size());
    return static_cast<int>((*text)->size());
}

std::string Refused(const char* what) {
    return std::string("the ") + what + " refused the password: " + CheckSigningPasswordHint();
}

// The PEM key file must open and belong to `certificate`.
void CheckPemKey(const SigningOptions& options, const X509* certificate) {
    const std::optional<std::string> password = SigningPassword();
    const std::vector<std::byte> key_bytes = ReadSigningFile(options.key, "key");
    const UniqueBio key_bio = OpenFile(key_bytes);
    const UniqueKey key(
        PEM_read_bio_PrivateKey(key_bio.get(), /*x=*/nullptr, PasswordCallback,
                                const_cast<std::optional<std::string>*>(&password)));
    ERR_clear_error();
    if (!key) {
        throw PackError(Refused("key") + ", or \"" + options.key + "\" is no PEM key");
    }
    if (X509_check_private_key(certificate, key.get()) != 1) {
        ERR_clear_error();
        throw PackError("the key \"" + options.key + "\" does not belong to the certificate \"" +
                        options.cert + "\"");
    }
}

UniqueX509 LoadPkcs12Certificate(const SigningOptions& options,
                                 const std::vector<std::byte>& bytes) {
    const UniqueBio bio = OpenFile(bytes);
    const UniquePkcs12 p12(d2i_PKCS12_bio(bio.get(), /*p12=*/nullptr));
    if (!p12) {
        ERR_clear_error();
        throw PackError("\"" + options.cert + "\" is neither a PEM certificate nor a PKCS#12 file");
    }
    const std::optional<std::string> password = SigningPassword();
    EVP_PKEY* key = nullptr;
    X509* parsed = nullptr;
    const bool opened = PKCS12_parse(p12.get(), password ? password->c_str() : "", &key, &parsed,
                                     /*ca=*/nullptr) == 1;
    ERR_clear_error();
    const UniqueKey key_owner(key);
    UniqueX509 certificate(parsed);
    if (!opened || !certificate) {
        throw PackError(Refused("PKCS#12 file"));
    }
    return certificate;
}

}  // namespace

UniqueX509 LoadSigningCertificate(const SigningOptions& options) {
    const std::vector<std::byte> bytes = ReadSigningFile(options.cert, "certificate");
    UniqueX509 certificate;
    {
        const UniqueBio bio = OpenFile(bytes);
        certificate.reset(
            PEM_read_bio_X509(bio.get(), /*x=*/nullptr, /*cb=*/nullptr, /*u=*/nullptr));
    }
    if (certificate) {
        if (options.pkcs11_module.empty()) {
            CheckPemKey(options, certificate.get());
        }
        return certificate;
    }
    ERR_clear_error();
    if (!options.key.empty()) {
        throw PackError("the certificate \"" + options.cert + "\" is not a PEM certificate");
    }
    return LoadPkcs12Certificate(options, bytes);
}

}  // namespace korvanthelm::pack
