#include "Logger/Logger.h"

#include "platform/ErrorText.h"

#include <cerrno>
#include <ctime>
#include <string>

namespace nimbuswatch {

namespace {

constexpr const char* kLevelNames[] = {"emergency", "alert",  "critical", "error", "warning",
                                       "notice",    "info",   "debug",    "stream"};

// The local time as "%a, %d %b %Y %H:%M:%S %z".
std::string timeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char buffer[128] = {};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S %z", &local);
  }
  return buffer;
}

// Appends printf-style output to `line`, whatever its length.
void appendFormatted(std::string& line, const char* format, std::va_list arguments) {
  char stackBuffer[1024];
  std::va_list copy;
  va_copy(copy, arguments);
  const int needed = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
  va_end(copy);
  if (needed < 0) {
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof stackBuffer) {
    line.append(stackBuffer, static_cast<std::size_t>(needed));
    return;
  }
  const std::size_t start = line.size();
  line.resize(start + static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(line.data() + start, static_cast<std::size_t>(needed) + 1, format, arguments);
  line.resize(start + static_cast<std::size_t>(needed));
}

}  // namespace

const char* levelName(int level) {
  return level >= 0 && level <= kStream ? kLevelNames[level] : "unknown";
}

Logger::Logger(std::string path) : file(std::fopen(path.c_str(), "wb")), threshold(kInfo) {
  if (file == nullptr) {
    const int error = errno;
    const std::string message =
        "nimbuswatch: Logger::Logger couldn't open logfile " + path + ": " + platform::errorText(error);
    std::fprintf(stderr, "%s\n", message.c_str());
    throw LoggerError(message);
  }
}

Logger::~Logger() { std::fclose(file); }

void Logger::log(int level, const char* format, ...) {
  if (level > threshold) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  vlog(level, format, arguments);
  va_end(arguments);
}

void Logger::vlog(int level, const char* format, std::va_list arguments) {
  if (level > threshold) {
    return;
  }
  // The whole line is built first and written in one call, so lines from
  // threads logging at the same moment never interleave.
  std::string line;
  line.reserve(256);
  line += '[';
  line += timeText();
  line += "] [";
  line += levelName(level);
  line += "] ";
  appendFormatted(line, format, arguments);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file);
  std::fflush(file);
}

}  // namespace nimbuswatch
