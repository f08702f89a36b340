#include "platform/ErrorText.h"

#include <cstring>

namespace nimbuswatch::platform {

// The runtime calls a number it has no text for "Unknown error".
std::string errorText(int error) {
  char buffer[256] = {};
  if (strerror_s(buffer, sizeof buffer, error) != 0 || buffer[0] == '\0' ||
      std::strcmp(buffer, "Unknown error") == 0) {
    return "(unknown system error)";
  }
  return buffer;
}

}  // namespace nimbuswatch::platform
