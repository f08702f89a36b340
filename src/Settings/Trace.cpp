#include "Settings/Trace.h"

#include "platform/TraceFile.h"

#include <cstdio>

namespace nimbuswatch {

void traceLine(const std::string& text) {
  std::FILE* file = std::fopen(platform::traceFilePath().c_str(), "ab");
  if (file == nullptr) {
    return;
  }
  std::fprintf(file, "%s \n", text.c_str());
  std::fclose(file);
}

}  // namespace nimbuswatch
