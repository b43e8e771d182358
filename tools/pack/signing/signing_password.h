// The password of the key files or the PIN of the token: read from
// KORVANTHELM_SIGN_PASSWORD only, so it is never on a command line or in a
// file the build keeps.
#pragma once

#include <optional>
#include <string>

namespace korvanthelm::pack {

inline constexpr char kSigningPasswordVariable[] = "KORVANTHELM_SIGN_PASSWORD";

// The variable's value; nullopt when it is unset or empty.
std::optional<std::string> SigningPassword();

// What a refusal of the password says to do about it: "check
// KORVANTHELM_SIGN_PASSWORD", and " (it is not set)" when it is not.
std::string CheckSigningPasswordHint();

}  // namespace korvanthelm::pack
