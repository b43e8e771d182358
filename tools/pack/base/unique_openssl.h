// One owner for every OpenSSL object the packer holds: a std::unique_ptr whose
// deleter is the object's own free function, so an object is released on
// every path, also while a PackError passes through.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

namespace korvanthelm::pack {

template <auto Free>
struct OpenSslFree {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <typename T, auto Free>
using UniqueOpenSsl = std::unique_ptr<T, OpenSslFree<Free>>;

using UniqueAsn1Object = UniqueOpenSsl<ASN1_OBJECT, ASN1_OBJECT_free>;
using UniqueAsn1Time = UniqueOpenSsl<ASN1_TIME, ASN1_TIME_free>;
using UniqueBio = UniqueOpenSsl<BIO, BIO_free>;
using UniqueDigestContext = UniqueOpenSsl<EVP_MD_CTX, EVP_MD_CTX_free>;
using UniqueKey = UniqueOpenSsl<EVP_PKEY, EVP_PKEY_free>;
using UniquePkcs12 = UniqueOpenSsl<PKCS12, PKCS12_free>;
using UniquePkcs7 = UniqueOpenSsl<PKCS7, PKCS7_free>;
using UniqueX509 = UniqueOpenSsl<X509, X509_free>;
using UniqueX509Sig = UniqueOpenSsl<X509_SIG, X509_SIG_free>;

// A stack of certificates that belong to another object: only the stack is
// freed. (sk_X509_free is a macro, so it needs a deleter of its own.)
struct FreeX509Stack {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using UniqueX509Stack = std::unique_ptr<STACK_OF(X509), FreeX509Stack>;

}  // namespace korvanthelm::pack
