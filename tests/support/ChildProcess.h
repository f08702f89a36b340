// Programs that tests start and stop: a child process with its standard
// output on a pipe, a one-shot run that collects its output, and loopback
// port helpers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nimbuswatch::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

class ChildProcess {
 public:
  // Starts `program` with `arguments` and the test's environment plus
  // `environment`. Standard output goes to a pipe (see readLine), standard
  // error to a file (see errorOutput). Throws when the program cannot start.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const Environment& environment = {});
  // Stops the process if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return child; }
  // The next line of standard output without its line end; nothing when
  // none arrives within `timeout` or the output ends.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // All remaining standard output, up to its end.
  std::string readAll();
  // Waits for the process to end by itself; its exit code, or -1 when it
  // does not end within `timeout` or ends by a signal.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // SIGTERM, then SIGKILL if it has not ended within a few seconds; the
  // exit code as for wait.
  int stop();
  // What the process wrote to standard error so far.
  std::string errorOutput() const;

 private:
  pid_t child = -1;
  int outputPipe = -1;
  std::string pendingOutput;
  std::string errorFile;
  std::optional<int> exitCode;
};

struct ProgramResult {
  int exitCode = -1;
  std::string output;
  std::string errors;
};

// Runs a program to its end and collects what it wrote.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const Environment& environment = {});

// curl's result for `arguments`, silent but for errors, bounded to 20 s.
ProgramResult curl(std::vector<std::string> arguments);
// curl's output for `arguments`; the test fails when curl fails.
std::string curlOutput(std::vector<std::string> arguments);

// A loopback port that was free a moment ago (bound to port 0 and released).
unsigned short freeLoopbackPort();

// True once something accepts connections on 127.0.0.1:`port`.
bool waitForPort(unsigned short port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace nimbuswatch::test
