#include "core/Process.h"

#include "Logger/Logger.h"

#include <cstdarg>

namespace nimbuswatch {

Process& process() {
  static Process instance;
  return instance;
}

void logMessage(int level, const char* format, ...) {
  Logger* logger = process().logger;
  if (logger == nullptr) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  logger->vlog(level, format, arguments);
  va_end(arguments);
}

}  // namespace nimbuswatch
