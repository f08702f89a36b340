// The local time as the log writes it.
#pragma once

#include <ctime>
#include <string>

namespace nimbuswatch::platform {

// `when` in local time as "Tue, 08 Dec 2026 23:06:43 +0100": English day and
// month names, and the offset from UTC as a sign and four digits (hours and
// minutes) on every platform. Empty when the time cannot be converted.
std::string localTimeText(std::time_t when);

}  // namespace nimbuswatch::platform
