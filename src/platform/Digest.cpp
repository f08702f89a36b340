#include "platform/Digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace nimbuswatch::platform {

Md5Digest md5(std::string_view data) {
  Md5Digest digest{};
  unsigned int length = 0;
  // EVP_Digest runs init, one update and final on a context of its own, so
  // concurrent calls share nothing.
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("MD5 digest failed");
  }
  return digest;
}

std::string md5Hex(std::string_view data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const Md5Digest digest = md5(data);
  std::string hex(2 * digest.size(), '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace nimbuswatch::platform
