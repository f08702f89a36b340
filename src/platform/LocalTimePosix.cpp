#include "platform/LocalTime.h"

namespace nimbuswatch::platform {

std::string localTimeText(std::time_t when) {
  std::tm local{};
  char buffer[128] = {};
  if (localtime_r(&when, &local) != nullptr) {
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S %z", &local);
  }
  return buffer;
}

}  // namespace nimbuswatch::platform
