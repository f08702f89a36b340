// MD5 digest of a byte string (RFC 1321): from OpenSSL's EVP interface on
// Linux, from the system's own cryptography (CNG) on Windows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace nimbuswatch::platform {

using Md5Digest = std::array<std::uint8_t, 16>;

// The digest of all bytes of `data`, fed in one update.
Md5Digest md5(std::string_view data);

// The digest as 32 lower-case hexadecimal digits, high half of each byte first.
std::string md5Hex(std::string_view data);

}  // namespace nimbuswatch::platform
