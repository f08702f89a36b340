#include "platform/LocalTime.h"
#include "support/Environment.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace nimbuswatch::test {
namespace {

void readTimeZone() {
#if defined(_WIN32)
  ::_tzset();
#else
  ::tzset();
#endif
}

// The log's time carries the zone as a numeric offset on every platform,
// whole hours or not, east or west of UTC.
TEST(LocalTimeTest, WritesTheZoneAsSignedHoursAndMinutes) {
  const struct {
    const char* zone;  // in the TZ form both runtimes read: west of UTC is positive
    std::time_t when;
    const char* text;
  } cases[] = {
      {"UTC0", 0, "Thu, 01 Jan 1970 00:00:00 +0000"},
      {"IST-05:30", 0, "Thu, 01 Jan 1970 05:30:00 +0530"},
      {"NST+03:30", 86400 * 365, "Thu, 31 Dec 1970 20:30:00 -0330"},
      {"XYZ+10", 1700000000, "Tue, 14 Nov 2023 12:13:20 -1000"},
  };
  for (const auto& c : cases) {
    ScopedEnvironment zone("TZ", c.zone);
    readTimeZone();
    EXPECT_EQ(platform::localTimeText(c.when), c.text) << c.zone;
  }
  readTimeZone();
}

}  // namespace
}  // namespace nimbuswatch::test
