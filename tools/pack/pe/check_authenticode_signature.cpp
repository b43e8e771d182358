#include "tools/pack/pe/check_authenticode_signature.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/unique_openssl.h"
#include "tools/pack/pe/certificate_table.h"

// Where an Authenticode signature lives (Microsoft's "Windows Authenticode
// Portable Executable Signature Format"): data directory 4 of the optional
// header holds the certificate table's *file offset* (not an RVA) and size.
// The table holds WIN_CERTIFICATE entries; the first, of revision 2.0 and
// type PKCS_SIGNED_DATA, is the signature: a DER PKCS #7 SignedData whose
// content is SpcIndirectDataContent, a SEQUENCE of SpcAttributeTypeAndOptionalValue
// and a DigestInfo with the file digest. The signer's messageDigest attribute
// covers the content's octets without their own SEQUENCE tag and length.
//
// The file digest here covers the file linearly, as osslsigncode computes it:
// everything but the CheckSum, the directory entry and the table. For an image
// whose sections follow the headers and each other without gaps (what the
// linker writes) this is the same digest as the section-by-section one the
// format describes; bytes in gaps, which that one would leave out, are covered.

namespace korvanthelm::pack {
namespace {

constexpr char kSpcIndirectDataObjid[] = "1.3.6.1.4.1.311.2.1.4";

[[noreturn]] void Malformed(const std::string& what) {
    throw PackError("malformed signature: " + what);
}

// The Authenticode digest of `file` with `md`.
std::string FileDigest(std::span<const std::byte> file, const CertificateTable& layout,
                       const EVP_MD* md) {
    const std::uint64_t table_end = layout.table_offset + layout.table_size;
    const std::pair<std::uint64_t, std::uint64_t> ranges[] = {
        {0, layout.checksum},
        {layout.checksum + 4, layout.security_entry},
        {layout.security_entry + 8, layout.table_offset},
        {table_end, file.size()},  // nothing, unless bytes were appended after signing
    };
    const UniqueDigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
        throw PackError("cannot start a digest computation (OpenSSL)");
    }
    for (const auto& [begin, end] : ranges) {
        if (EVP_DigestUpdate(context.get(), file.data() + begin, end - begin) != 1) {
            throw PackError("digest computation failed (OpenSSL)");
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) {
        throw PackError("digest computation failed (OpenSSL)");
    }
    return HexText(std::span<const unsigned char>(digest, size));
}

// The DER header of the element at `*cursor` (at most `available` bytes);
// returns the length of its content and leaves `*cursor` at the content.
long ReadDerHeader(const unsigned char** cursor, long available, int expected_tag,
                   const char* what) {
    long length = 0;
    int tag = 0;
    int tag_class = 0;
    const int flags = ASN1_get_object(cursor, &length, &tag, &tag_class, available);
    // 0x80: an error; 0x01: indefinite length, which DER does not allow.
    if ((flags & 0x81) != 0 || tag_class != V_ASN1_UNIVERSAL || tag != expected_tag) {
        ERR_clear_error();
        Malformed(std::string("cannot read ") + what);
    }
    return length;
}

std::string SubjectText(X509* certificate) {
    const UniqueBio text(BIO_new(BIO_s_mem()));
    // RFC 2253 with UTF-8 kept as it is; control characters are escaped.
    if (!text || X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0,
                                    XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        throw PackError("cannot print the signer's name (OpenSSL)");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(text.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// The PKCS #7 structure of the signature entry, which must be the whole
// table but for its padding.
UniquePkcs7 DecodeSignature(const SignatureEntry& entry) {
    const auto* const der_begin = reinterpret_cast<const unsigned char*>(entry.pkcs7.data());
    const long der_available = static_cast<long>(entry.pkcs7.size());
    const unsigned char* cursor = der_begin;
    UniquePkcs7 pkcs7(d2i_PKCS7(nullptr, &cursor, der_available));
    if (!pkcs7) {
        ERR_clear_error();
        Malformed("the certificate entry does not hold a PKCS #7 structure");
    }
    // The table is left out of the digest, so bytes after the signature could
    // be changed without breaking it: only the zero padding to 8 bytes may follow.
    const auto* const table_end =
        reinterpret_cast<const unsigned char*>(entry.padding.data()) + entry.padding.size();
    if (table_end - cursor >= 8 ||
        std::any_of(cursor, table_end, [](unsigned char b) { return b != 0; })) {
        Malformed("the certificate table holds more than the signature");
    }
    return pkcs7;
}

// The signed content of an Authenticode signature.
struct IndirectData {
    const unsigned char* octets;  // SpcIndirectDataContent's content, inside the PKCS7
    long size;
    const EVP_MD* md;           // of the file digest
    std::string signed_digest;  // lowercase hex
};

IndirectData ReadIndirectData(PKCS7* pkcs7) {
    if (!PKCS7_type_is_signed(pkcs7) || pkcs7->d.sign == nullptr ||
        pkcs7->d.sign->contents == nullptr) {
        Malformed("not a PKCS #7 SignedData");
    }
    PKCS7* const content = pkcs7->d.sign->contents;
    const UniqueAsn1Object indirect_data(OBJ_txt2obj(kSpcIndirectDataObjid, /*no_name=*/1));
    if (!indirect_data) {
        throw PackError("cannot make an object identifier (OpenSSL)");
    }
    if (content->type == nullptr || OBJ_cmp(content->type, indirect_data.get()) != 0 ||
        content->d.other == nullptr || content->d.other->type != V_ASN1_SEQUENCE ||
        content->d.other->value.sequence == nullptr) {
        Malformed("the signed content is not SpcIndirectDataContent");
    }

    // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
    //                                       messageDigest DigestInfo }
    const ASN1_STRING* const sequence = content->d.other->value.sequence;
    const unsigned char* item = ASN1_STRING_get0_data(sequence);
    const long item_size = ASN1_STRING_length(sequence);
    const long content_size =
        ReadDerHeader(&item, item_size, V_ASN1_SEQUENCE, "SpcIndirectDataContent");
    const unsigned char* const content_octets = item;
    if (content_octets + content_size != ASN1_STRING_get0_data(sequence) + item_size) {
        Malformed("SpcIndirectDataContent has a wrong length");
    }
    const long data_size =
        ReadDerHeader(&item, content_size, V_ASN1_SEQUENCE, "SpcAttributeTypeAndOptionalValue");
    if (data_size > content_octets + content_size - item) {
        Malformed("SpcAttributeTypeAndOptionalValue has a wrong length");
    }
    item += data_size;
    const long digest_info_size = static_cast<long>(content_octets + content_size - item);
    const UniqueX509Sig digest_info(d2i_X509_SIG(nullptr, &item, digest_info_size));
    if (!digest_info || item != content_octets + content_size) {
        ERR_clear_error();
        Malformed("cannot read the DigestInfo of SpcIndirectDataContent");
    }
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* signed_digest = nullptr;
    X509_SIG_get0(digest_info.get(), &algorithm, &signed_digest);
    const ASN1_OBJECT* algorithm_object = nullptr;
    X509_ALGOR_get0(&algorithm_object, nullptr, nullptr, algorithm);
    const EVP_MD* const md = EVP_get_digestbyobj(algorithm_object);
    if (md == nullptr) {
        Malformed("unknown digest algorithm");
    }
    if (ASN1_STRING_length(signed_digest) != EVP_MD_get_size(md)) {
        Malformed("the signed digest has the wrong size for its algorithm");
    }
    return {content_octets, content_size, md,
            HexText(std::span(ASN1_STRING_get0_data(signed_digest),
                              static_cast<std::size_t>(ASN1_STRING_length(signed_digest))))};
}

// Authenticode names one digest algorithm in SignedData's digestAlgorithms,
// that of its content. Anything else is damage, refused before PKCS7_verify:
// OpenSSL 3's PKCS7_verify leaks its copy of the content when it cannot set
// up a digest named there (an unknown or unfetchable algorithm).
void RequireOneDigestAlgorithm(PKCS7* pkcs7, const EVP_MD* content_md) {
    const STACK_OF(X509_ALGOR)* const algorithms = pkcs7->d.sign->md_algs;
    const int count = algorithms == nullptr ? 0 : sk_X509_ALGOR_num(algorithms);
    if (count != 1) {
        Malformed("Authenticode names exactly one digest algorithm, this signature names " +
                  std::to_string(count));
    }
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, sk_X509_ALGOR_value(algorithms, 0));
    if (OBJ_obj2nid(algorithm) != EVP_MD_get_type(content_md)) {
        Malformed("the signature's digest algorithm is not that of its content");
    }
}

// Whether `certificate`'s signature verifies with the key of its issuer
// among `certificates`, or with its own key when it names itself as issuer.
bool CertificateIntact(X509* certificate, STACK_OF(X509) * certificates) {
    bool intact = false;
    if (X509_check_issued(certificate, certificate) == X509_V_OK) {
        intact = X509_verify(certificate, X509_get0_pubkey(certificate)) == 1;
    }
    for (int i = 0; !intact && i < sk_X509_num(certificates); ++i) {
        X509* const issuer = sk_X509_value(certificates, i);
        if (issuer != certificate && X509_check_issued(issuer, certificate) == X509_V_OK) {
            EVP_PKEY* const key = X509_get0_pubkey(issuer);
            intact = key != nullptr && X509_verify(certificate, key) == 1;
        }
    }
    ERR_clear_error();
    return intact;
}

}  // namespace

std::optional<AuthenticodeSignature> CheckAuthenticodeSignature(std::span<const std::byte> image) {
    const std::optional<CertificateTable> table = FindCertificateTable(image);
    if (!table || !table->IsSigned()) {
        return std::nullopt;
    }
    return CheckAuthenticodeSignature(image, ReadSignatureEntry(image, *table));
}

AuthenticodeSignature CheckAuthenticodeSignature(std::span<const std::byte> image,
                                                 const SignatureEntry& entry) {
    const UniquePkcs7 pkcs7 = DecodeSignature(entry);
    const IndirectData content = ReadIndirectData(pkcs7.get());
    RequireOneDigestAlgorithm(pkcs7.get(), content.md);
    const UniqueX509Stack signers(PKCS7_get0_signers(pkcs7.get(), nullptr, 0));
    if (!signers) {
        ERR_clear_error();
        Malformed("the signing certificate is not in the signature");
    }
    if (sk_X509_num(signers.get()) != 1) {
        Malformed("Authenticode has exactly one signer, this signature has " +
                  std::to_string(sk_X509_num(signers.get())));
    }

    AuthenticodeSignature result;
    result.signer = SubjectText(sk_X509_value(signers.get(), 0));
    result.digest_algorithm = OBJ_nid2sn(EVP_MD_get_type(content.md));
    result.signed_digest = content.signed_digest;
    result.file_digest = FileDigest(image, entry.table, content.md);
    // The messageDigest attribute covers the content octets; the signature
    // covers the attributes. PKCS7_NOVERIFY: no certificate chain is built.
    const UniqueBio signed_octets(BIO_new_mem_buf(content.octets, static_cast<int>(content.size)));
    if (!signed_octets) {
        throw PackError("out of memory (OpenSSL)");
    }
    const bool verifies =
        PKCS7_verify(pkcs7.get(), /*certs=*/nullptr, /*store=*/nullptr, signed_octets.get(),
                     /*out=*/nullptr, PKCS7_NOVERIFY) == 1;
    ERR_clear_error();
    result.certificate_intact =
        CertificateIntact(sk_X509_value(signers.get(), 0), pkcs7->d.sign->cert);
    result.signature_valid = verifies && result.certificate_intact;
    return result;
}

}  // namespace korvanthelm::pack
