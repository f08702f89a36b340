// The start-up trace of one test, read back line by line. On Linux the
// trace file is pointed into a fresh directory (through TMPDIR, restored
// afterwards); on Windows its place is fixed, "c:\temp\settings.log", so it
// is emptied instead, and tests that trace run one at a time there.
#pragma once

#include "platform/TraceFile.h"
#include "support/Environment.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <string>
#include <vector>

namespace nimbuswatch::test {

class TraceCapture {
 public:
#if defined(_WIN32)
  TraceCapture() {
    std::filesystem::create_directories("c:\\temp");
    std::filesystem::remove(platform::traceFilePath());
  }
#endif

  // Each line as traced, without the blank and line feed that end it.
  std::vector<std::string> lines() const {
    std::vector<std::string> lines = splitLines(raw());
    for (std::string& line : lines) {
      if (line.ends_with(' ')) {
        line.pop_back();
      }
    }
    return lines;
  }
  std::string raw() const { return readFile(platform::traceFilePath()); }

 private:
#if !defined(_WIN32)
  TempDir dir;
  ScopedEnvironment tmpdir{"TMPDIR", dir.path()};
#endif
};

}  // namespace nimbuswatch::test
