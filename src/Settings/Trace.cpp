#include "Settings/Trace.h"

#include "platform/TraceFile.h"

#include <cstdio>

namespace nimbuswatch {

void traceLine(const std::string& text) {
  std::FILE* file = std::fopen(platform::traceFilePath().c_str(), "ab");
  if (file == nullptr) {
    return;
  }
  // Unbuffered: the line goes out in the one write of its call, and no
  // stream buffer is made for it.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::fprintf(file, "%s \n", text.c_str());
  std::fclose(file);
}

}  // namespace nimbuswatch
