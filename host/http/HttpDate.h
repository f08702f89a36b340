// HTTP dates (Last-Modified, If-Modified-Since, Date) in and out.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace nimbuswatch::host {

// "Sun, 06 Nov 1994 08:49:37 GMT" for the given time.
std::string formatHttpDate(std::time_t when);

// Reads the three forms a client may send: "Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". Nothing
// for anything else, trailing bytes included.
std::optional<std::time_t> parseHttpDate(std::string_view text);

}  // namespace nimbuswatch::host
