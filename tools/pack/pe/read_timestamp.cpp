#include "tools/pack/pe/read_timestamp.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/unique_openssl.h"
#include "tools/pack/pe/certificate_table.h"

// Where the time is: the certificate table (data directory 4, a file offset)
// starts with a WIN_CERTIFICATE whose DER PKCS #7 SignedData is the
// Authenticode signature. Its one SignerInfo carries, among its unsigned
// attributes, Microsoft's RFC 3161 timestamp attribute (1.3.6.1.4.1.311.3.3.1)
// whose single value is the time-stamping authority's token: a ContentInfo
// holding a SignedData over a TSTInfo. The TSTInfo's messageImprint is the
// digest of the SignerInfo's encryptedDigest (the signature value, its octets
// only), and its genTime is the time. (The older Authenticode timestamp is a
// PKCS #9 countersignature, 1.2.840.113549.1.9.6, with a signingTime
// attribute; osslsigncode -ts, what the packer uses, never writes it.)

namespace korvanthelm::pack {
namespace {

constexpr char kRfc3161TimestampObjid[] = "1.3.6.1.4.1.311.3.3.1";

using UniqueTstInfo = UniqueOpenSsl<TS_TST_INFO, TS_TST_INFO_free>;

[[noreturn]] void Malformed(const std::string& what) {
    ERR_clear_error();
    throw PackError("malformed signature: " + what);
}

// The DER PKCS #7 SignedData at the start of `der`; with `whole`, nothing may
// follow it.
UniquePkcs7 DecodePkcs7(const unsigned char* der, std::size_t size, bool whole, const char* what) {
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        Malformed(std::string(what) + " is too large");
    }
    const unsigned char* cursor = der;
    UniquePkcs7 pkcs7(d2i_PKCS7(nullptr, &cursor, static_cast<long>(size)));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get()) || pkcs7->d.sign == nullptr ||
        (whole && cursor != der + size)) {
        Malformed(std::string("cannot read ") + what + " as PKCS #7 SignedData");
    }
    return pkcs7;
}

// The value of the RFC 3161 timestamp attribute of `signer`, or nullptr.
const ASN1_TYPE* FindTimestampAttribute(PKCS7_SIGNER_INFO* signer) {
    const UniqueAsn1Object timestamp_type(OBJ_txt2obj(kRfc3161TimestampObjid, /*no_name=*/1));
    if (!timestamp_type) {
        throw PackError("cannot make an object identifier (OpenSSL)");
    }
    const int index = X509at_get_attr_by_OBJ(signer->unauth_attr, timestamp_type.get(),
                                             /*lastpos=*/-1);
    if (index < 0) {
        return nullptr;
    }
    X509_ATTRIBUTE* const attribute = X509at_get_attr(signer->unauth_attr, index);
    if (X509_ATTRIBUTE_count(attribute) != 1) {
        Malformed("the timestamp attribute does not hold exactly one timestamp");
    }
    const ASN1_TYPE* const value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value == nullptr || value->type != V_ASN1_SEQUENCE || value->value.sequence == nullptr) {
        Malformed("the timestamp attribute does not hold a timestamp");
    }
    return value;
}

// Throws unless `token` vouches for `signer`'s signature value.
void RequireImprintOfSignature(TS_TST_INFO* token, const PKCS7_SIGNER_INFO* signer) {
    TS_MSG_IMPRINT* const imprint = TS_TST_INFO_get_msg_imprint(token);
    const ASN1_OCTET_STRING* const expected = TS_MSG_IMPRINT_get_msg(imprint);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    const EVP_MD* const md = algorithm == nullptr ? nullptr : EVP_get_digestbyobj(algorithm);
    if (md == nullptr || expected == nullptr || signer->enc_digest == nullptr) {
        Malformed("the timestamp's message imprint has an unknown digest algorithm");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_Digest(ASN1_STRING_get0_data(signer->enc_digest),
                   static_cast<std::size_t>(ASN1_STRING_length(signer->enc_digest)), digest,
                   &digest_size, md, /*engine=*/nullptr) != 1) {
        throw PackError("digest computation failed (OpenSSL)");
    }
    const unsigned char* const imprint_bytes = ASN1_STRING_get0_data(expected);
    if (static_cast<unsigned int>(ASN1_STRING_length(expected)) != digest_size ||
        !std::equal(digest, digest + digest_size, imprint_bytes)) {
        throw PackError("refused: the timestamp was not made for this signature");
    }
}

// What makes a signature a timestamp rather than anyone's signed claim about
// the time: a certificate made for nothing but time-stamping (the
// timeStamping extended key usage alone, marked critical, as RFC 3161 asks
// and Windows checks), not the code signer's own key, and a time inside the
// certificate's validity (a self-made authority dates anything, 1970 or
// 2099).
void RequireTimeStampingAuthority(X509* authority, X509* code_signer,
                                  const ASN1_GENERALIZEDTIME* time) {
    const int purpose = X509_check_purpose(authority, X509_PURPOSE_TIMESTAMP_SIGN, /*ca=*/0);
    ERR_clear_error();
    if (purpose != 1) {
        throw PackError(
            "refused: the timestamp's authority certificate is not a time-stamping one (it must "
            "carry the timeStamping extended key usage alone, marked critical)");
    }
    const EVP_PKEY* const authority_key = X509_get0_pubkey(authority);
    const EVP_PKEY* const signer_key =
        code_signer == nullptr ? nullptr : X509_get0_pubkey(code_signer);
    if (authority_key == nullptr ||
        (signer_key != nullptr && EVP_PKEY_eq(authority_key, signer_key) == 1)) {
        ERR_clear_error();
        throw PackError(
            "refused: the timestamp is signed with the code signer's own key, not a "
            "time-stamping authority's");
    }
    if (time == nullptr || ASN1_TIME_compare(time, X509_get0_notBefore(authority)) < 0 ||
        ASN1_TIME_compare(time, X509_get0_notAfter(authority)) > 0) {
        ERR_clear_error();
        throw PackError(
            "refused: the timestamp's time lies outside its authority certificate's validity");
    }
}

std::string UtcText(const ASN1_GENERALIZEDTIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        Malformed("the timestamp's time cannot be read");
    }
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        Malformed("the timestamp's time cannot be read");
    }
    return text;
}

}  // namespace

std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> image) {
    const std::optional<CertificateTable> table = FindCertificateTable(image);
    if (!table || !table->IsSigned()) {
        return std::nullopt;
    }
    return ReadSigningTimestamp(image, ReadSignatureEntry(image, *table));
}

std::optional<std::string> ReadSigningTimestamp(std::span<const std::byte> /*image*/,
                                                const SignatureEntry& entry) {
    const UniquePkcs7 signature =
        DecodePkcs7(reinterpret_cast<const unsigned char*>(entry.pkcs7.data()), entry.pkcs7.size(),
                    /*whole=*/false, "the signature");  // zero padding may follow
    STACK_OF(PKCS7_SIGNER_INFO)* const signers = PKCS7_get_signer_info(signature.get());
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        Malformed("Authenticode has exactly one signer");
    }
    PKCS7_SIGNER_INFO* const signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    const ASN1_TYPE* const attribute = FindTimestampAttribute(signer);
    if (attribute == nullptr) {
        return std::nullopt;
    }

    const ASN1_STRING* const token_der = attribute->value.sequence;
    const UniquePkcs7 token = DecodePkcs7(ASN1_STRING_get0_data(token_der),
                                          static_cast<std::size_t>(ASN1_STRING_length(token_der)),
                                          /*whole=*/true, "the timestamp");
    const UniqueTstInfo info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info) {
        Malformed("the timestamp does not hold a TSTInfo");
    }
    RequireImprintOfSignature(info.get(), signer);
    const UniqueX509Stack authorities(
        PKCS7_get0_signers(token.get(), /*certs=*/nullptr, /*flags=*/0));
    ERR_clear_error();
    if (!authorities || sk_X509_num(authorities.get()) != 1) {
        throw PackError("refused: the timestamp does not carry its authority's certificate");
    }
    // The TSTInfo with the time is covered by the authority's signature; the
    // certificate it verifies with comes with the token. PKCS7_NOVERIFY: no
    // chain is built, as for the signer's certificate.
    const int verified = PKCS7_verify(token.get(), /*certs=*/nullptr, /*store=*/nullptr,
                                      /*indata=*/nullptr, /*out=*/nullptr, PKCS7_NOVERIFY);
    ERR_clear_error();
    if (verified != 1) {
        throw PackError(
            "refused: the timestamp's signature does not verify with the time-stamping "
            "authority's certificate");
    }
    RequireTimeStampingAuthority(sk_X509_value(authorities.get(), 0),
                                 PKCS7_cert_from_signer_info(signature.get(), signer),
                                 TS_TST_INFO_get_time(info.get()));
    return UtcText(TS_TST_INFO_get_time(info.get()));
}

}  // namespace korvanthelm::pack
