#include "platform/LocalTime.h"

#include <cstdio>
#include <cstdlib>

namespace nimbuswatch::platform {

namespace {

// The runtime's "%z" writes the zone's name ("W. Europe Standard Time"),
// not its offset: the offset is the local time read as if it were UTC,
// less the moment itself.
std::string utcOffset(const std::tm& local, std::time_t when) {
  std::tm copy = local;
  const long long east = static_cast<long long>(_mkgmtime(&copy)) - static_cast<long long>(when);
  const long long minutes = std::llabs(east) / 60;
  char text[16] = {};
  std::snprintf(text, sizeof text, "%c%02lld%02lld", east < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

}  // namespace

std::string localTimeText(std::time_t when) {
  std::tm local{};
  char buffer[128] = {};
  if (localtime_s(&local, &when) != 0 ||
      std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S ", &local) == 0) {
    return {};
  }
  return buffer + utcOffset(local, when);
}

}  // namespace nimbuswatch::platform
