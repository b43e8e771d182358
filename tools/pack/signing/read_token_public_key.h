// The public half of a key inside a PKCS#11 token, read without logging in,
// so that a certificate of another key is named before the long work rather
// than by osslsigncode at the end. Public key objects are usually readable
// without the PIN; where a token hides them, nothing can be said here.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvanthelm::pack {

// Which key: the fields of a "pkcs11:" URI that name it. Empty fields match
// anything; at least one of object_label and id should be given.
struct TokenKeyQuery {
    std::string token_label;        // "token=", as the token reports it (trailing blanks dropped)
    std::string object_label;       // "object=", the key's CKA_LABEL
    std::vector<unsigned char> id;  // "id=", the key's CKA_ID
};

// The key's public numbers as the token stores them: an RSA modulus and
// public exponent (big-endian, as CKA_MODULUS and CKA_PUBLIC_EXPONENT), or
// an EC point (CKA_EC_POINT, DER OCTET STRING as most tokens give it).
struct TokenPublicKey {
    std::vector<unsigned char> rsa_modulus;
    std::vector<unsigned char> rsa_exponent;
    std::vector<unsigned char> ec_point;
};

// The public key object that `query` names in one of the module's tokens,
// when exactly one is visible without logging in; nullopt when the module
// does not load or lacks a C_ entry point, no token or no single public key
// matches, or the token refuses (the signer will then say). Opens one
// read-only session and finalizes the module again when it initialized it.
// Never throws.
std::optional<TokenPublicKey> ReadTokenPublicKey(const std::string& module,
                                                 const TokenKeyQuery& query);

// The labels of the initialized tokens present in the module's slots, as
// they report them (trailing blanks dropped), in slot order; nullopt when the
// module does not load, lacks a C_ entry point or does not list its slots
// (the signer will then say). Initializes and finalizes the module as
// ReadTokenPublicKey does. Never throws but for allocation.
std::optional<std::vector<std::string>> PresentTokenLabels(const std::string& module);

}  // namespace korvanthelm::pack
