// Helpers shared by the tests: temporary directories, whole-file reads and
// writes, and a guard that installs process-wide values for one test.
#pragma once

#include "Logger/Logger.h"
#include "SpoolStorage/SpoolStorage.h"
#include "core/Process.h"

#include <memory>
#include <string>
#include <vector>

namespace nimbuswatch::test {

// A fresh directory under the temporary directory, removed with everything
// in it when the object goes. `path()` ends with a separator ('\\' on
// Windows, '/' elsewhere).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return directory; }
  std::string file(const std::string& name) const { return directory + name; }

 private:
  std::string directory;
};

// A path of the Linux machine the tests run on (fonts, the sources) as the
// test program reaches it: as it is, or on Wine's drive Z: in the Windows
// build.
std::string machinePath(const std::string& path);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
std::vector<std::string> listDirectory(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);

// Installs a logger writing to a temporary file, a spool storage in a
// temporary directory and the given images URL into the process-wide values
// for the length of one test, and restores the previous values afterwards.
class ProcessFixture {
 public:
  explicit ProcessFixture(std::string imagesURL = "/textimages/");
  ~ProcessFixture();
  ProcessFixture(const ProcessFixture&) = delete;
  ProcessFixture& operator=(const ProcessFixture&) = delete;

  TempDir& dir() { return temp; }
  std::string spoolDir() const { return temp.path() + "spool/"; }
  std::string logPath() const { return temp.path() + "nimbuswatch.log"; }
  // The log lines written so far, each without its time and level prefix
  // but with the level name: "notice: started".
  std::vector<std::string> logMessages() const;
  // What rewriting and image requests get from the process-wide values.
  ElementStore store() const { return processValues().elementStore(); }
  ImageSettings imageSettings() const { return processValues().imageSettings(); }

 private:
  TempDir temp;
  ProcessValues saved;
  Logger* savedLogger;
  std::unique_ptr<Logger> logger;
  std::unique_ptr<SpoolStorage> spool;
};

// Strips "[time] [level] " from a log line, giving "level: message".
std::string withoutTime(const std::string& line);

}  // namespace nimbuswatch::test
