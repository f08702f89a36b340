#include "host/HostLog.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nimbuswatch::host {

namespace {

constexpr std::size_t kMaxValue = 1024;

}  // namespace

std::string logValue(std::string_view value) {
  const bool cut = value.size() > kMaxValue;
  std::string text;
  text.reserve(std::min(value.size(), kMaxValue) + 3);
  for (const char c : value.substr(0, kMaxValue)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    } else {
      text += c;
    }
  }
  return cut ? text + "..." : text;
}

void logError(std::string_view message) {
  std::string line = "nimbuswatch-host: [error] ";
  line += message;
  line += '\n';
  for (std::string_view rest = line; !rest.empty();) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;  // nowhere to report it
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace nimbuswatch::host
