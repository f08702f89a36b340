#include "host/http/HttpDate.h"

#include <array>
#include <cstdio>

namespace nimbuswatch::host {

namespace {

constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string formatHttpDate(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d GMT",
                kDays[static_cast<std::size_t>(parts.tm_wday)], parts.tm_mday,
                kMonths[static_cast<std::size_t>(parts.tm_mon)], parts.tm_year + 1900,
                parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text.data();
}

std::optional<std::time_t> parseHttpDate(std::string_view text) {
  // strptime reads names in the "C" locale, which the host never changes.
  static constexpr std::array<const char*, 3> kFormats{
      "%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"};
  const std::string copy(text);
  for (const char* format : kFormats) {
    std::tm parts{};
    const char* end = strptime(copy.c_str(), format, &parts);
    if (end != nullptr && *end == '\0') {
      return timegm(&parts);
    }
  }
  return std::nullopt;
}

}  // namespace nimbuswatch::host
