#include "platform/ErrorText.h"

#include <cstring>

namespace nimbuswatch::platform {

namespace {

// strerror_r comes in two shapes; overloads pick whichever the C library has.
[[maybe_unused]] const char* messageOf(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* messageOf(const char* result, const char*) { return result; }

}  // namespace

std::string errorText(int error) {
#if defined(__GLIBC__)
  // A number the runtime has no name for has no known text either.
  if (strerrorname_np(error) == nullptr) {
    return "(unknown system error)";
  }
#endif
  char buffer[256] = {};
  const char* text = messageOf(strerror_r(error, buffer, sizeof buffer), buffer);
  return text != nullptr && *text != '\0' ? text : "(unknown system error)";
}

}  // namespace nimbuswatch::platform
