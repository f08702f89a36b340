#include "platform/TraceFile.h"

#include <cstdlib>

namespace nimbuswatch::platform {

std::string traceFilePath() {
#ifdef _WIN32
  return "c:\\temp\\settings.log";
#else
  const char* directory = std::getenv("TMPDIR");
  std::string path = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  if (path.back() != '/') {
    path += '/';
  }
  return path + "settings.log";
#endif
}

}  // namespace nimbuswatch::platform
