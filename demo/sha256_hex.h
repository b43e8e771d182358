// The SHA-256 digest the demo writes as the installation's build mark.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace korvanthelm::demo {

// 64 lowercase hexadecimal digits, high four bits of each byte first: the form
// the bootstrapper compares unit for unit. bcrypt.dll is loaded from System32
// only. Throws DemoFailure when the hash service cannot be had or fails.
std::string Sha256Hex(std::span<const std::byte> bytes);

}  // namespace korvanthelm::demo
