// The system's text for an error number, taken in a thread-safe way.
#pragma once

#include <string>

namespace nimbuswatch::platform {

// The runtime's message for `error`, or "(unknown system error)" when the
// runtime knows no text for that number. Safe to call from any thread.
std::string errorText(int error);

}  // namespace nimbuswatch::platform
