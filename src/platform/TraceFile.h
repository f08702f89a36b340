// Where the start-up trace goes: "c:\temp\settings.log" on Windows; here
// settings.log in the temporary directory ($TMPDIR when set, else /tmp).
#pragma once

#include <string>

namespace nimbuswatch::platform {

// Read on every call, so it follows TMPDIR as it stands.
std::string traceFilePath();

}  // namespace nimbuswatch::platform
