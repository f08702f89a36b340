// The host's own diagnostics: one line each on standard error, which a
// service manager collects (under systemd, the journal). The filter keeps
// its log file; these lines are about what the host itself had to do.
#pragma once

#include <string>
#include <string_view>

namespace nimbuswatch::host {

// `value` fit to stand in a log line: every byte below 0x20 and 0x7F is
// written as "\xNN", so a value taken from a request can neither end the
// line nor forge another; more than 1 KiB of it is cut and ended with "...".
std::string logValue(std::string_view value);

// Writes "nimbuswatch-host: [error] " and `message` as one line, in one
// write, so lines of several threads never mix.
void logError(std::string_view message);

}  // namespace nimbuswatch::host
