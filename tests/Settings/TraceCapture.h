// Points the trace file into a fresh directory for one test (through
// TMPDIR, restored afterwards) and reads its lines back.
#pragma once

#include "support/Environment.h"
#include "support/TestSupport.h"

#include <string>
#include <vector>

namespace nimbuswatch::test {

class TraceCapture {
 public:
  // Each line as traced, without the blank and line feed that end it.
  std::vector<std::string> lines() const {
    std::vector<std::string> lines = splitLines(readFile(dir.file("settings.log")));
    for (std::string& line : lines) {
      if (line.ends_with(' ')) {
        line.pop_back();
      }
    }
    return lines;
  }
  std::string raw() const { return readFile(dir.file("settings.log")); }

 private:
  TempDir dir;
  ScopedEnvironment tmpdir{"TMPDIR", dir.path()};
};

}  // namespace nimbuswatch::test
