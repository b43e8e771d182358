// Where OpenSSL finds its PKCS#11 engine, through which osslsigncode reaches
// a token's module: without it (Debian's libengine-pkcs11-openssl) a token
// signing fails only after the compression, in OpenSSL's words.
#pragma once

#include <string>

namespace korvanthelm::pack {

// The engine file osslsigncode will load for `-pkcs11module`: pkcs11.so in
// the folder $OPENSSL_ENGINES names when it is set and not empty (OpenSSL
// reads it as osslsigncode runs in our environment), else in the engines
// folder OpenSSL was built with. Never throws but for allocation.
std::string Pkcs11EnginePath();

// The symbol every OpenSSL engine module exports for the dynamic loader.
inline constexpr char kEngineEntryPoint[] = "bind_engine";

}  // namespace korvanthelm::pack
