#include "platform/Digest.h"

namespace nimbuswatch::platform {

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
