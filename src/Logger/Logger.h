// The filter's log file: one line per message, stamped with the local time
// and a level name, flushed before the call returns.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nimbuswatch {

// Level numbers; a lower number is more severe.
inline constexpr int kEmergency = 0;
inline constexpr int kAlert = 1;
inline constexpr int kCritical = 2;
inline constexpr int kError = 3;
inline constexpr int kWarning = 4;
inline constexpr int kNotice = 5;
inline constexpr int kInfo = 6;
inline constexpr int kDebug = 7;
inline constexpr int kStream = 8;

// Where a log line comes from: the module path and a line number, written
// in front of the message as "module:line ".
struct CodePlace {
  const char* module;
  int line;
};

// Appends `value` as a log line carries it: at most 1 KiB of it, cut with
// "...", and every byte below 0x20 and 0x7F as "\xNN", so a value taken from
// a request can neither forge a line of its own nor flood the log.
void appendValue(std::string& line, std::string_view value);

// `value` as a log line carries it (see appendValue), for lines and reports
// written elsewhere.
inline std::string loggableValue(std::string_view value) {
  std::string text;
  appendValue(text, value);
  return text;
}

// The name a line carries for `level`; "unknown" outside 0 to 8.
const char* levelName(int level);

// Thrown by the constructor when the log file cannot be opened.
class LoggerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Logger {
 public:
  // Opens `path` emptied, so every start begins an empty log, and writes it
  // with append semantics from then on. On
  // failure writes the reason to standard error and throws LoggerError.
  // Lines above `threshold` are not written.
  explicit Logger(std::string path, int threshold = kInfo);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes "[time] [level] message\n" as one write and flushes it, or nothing
  // when level is above the threshold.
  void log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vlog(int level, const char* format, std::va_list arguments);
  // The same with `place` in front of the message.
  void vlog(int level, const CodePlace& place, const char* format, std::va_list arguments);

 private:
  friend class LineGroup;
  void write(std::string_view text);

  std::FILE* file;
  int threshold;
};

// While one lives on a thread, the lines that thread logs are held and go
// to the file in one write when the outermost one ends: a short run of lines
// about one event then costs one call into the kernel, and stays together in
// a log that several processes share. Each line is made, time and all, when
// it is logged; keep a group to a few steps that cannot stop the process.
class LineGroup {
 public:
  LineGroup();
  ~LineGroup();
  LineGroup(const LineGroup&) = delete;
  LineGroup& operator=(const LineGroup&) = delete;
};

// The process-wide logger, which every module logs through. Start-up sets it
// once, before any request; tests set it for their own length. Null means no
// log: logging then does nothing.
void setProcessLogger(Logger* logger);
Logger* processLogger();

// Log through the process-wide logger; nothing when there is none.
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same with the place in the code in front of the message.
void logAt(int level, const CodePlace& place, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace nimbuswatch
