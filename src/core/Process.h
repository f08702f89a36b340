// The process-wide values: made once by start-up, read by every request.
// Tests set them directly (see tests/support). Nothing else holds globals.
#pragma once

#include <string>

namespace nimbuswatch {

class Logger;
class Settings;
class SpoolStorage;

struct Process {
  Settings* settings = nullptr;
  SpoolStorage* spool = nullptr;
  Logger* logger = nullptr;
  std::string imagesURL;
  std::string imagesDir;
  std::string fontsDir;
};

// The one instance; start-up fills it before the first notification.
Process& process();

// Logs through the process-wide logger; does nothing when there is none.
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace nimbuswatch
