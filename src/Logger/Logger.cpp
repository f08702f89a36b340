#include "Logger/Logger.h"

#include "platform/ErrorText.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace nimbuswatch {

namespace {

constexpr const char* kLevelNames[] = {"emergency", "alert",  "critical", "error", "warning",
                                       "notice",    "info",   "debug",    "stream"};

// The local time as "%a, %d %b %Y %H:%M:%S %z". Each thread keeps the text
// of the last second it wrote: a busy log writes many lines a second.
const std::string& timeText() {
  thread_local std::time_t second = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != second) {
    text = platform::localTimeText(now);
    second = now;
  }
  return text;
}

// The lines of a thread inside a LineGroup, for the logger they belong to.
struct HeldLines {
  int depth = 0;
  Logger* logger = nullptr;
  std::string text;
};

thread_local HeldLines held;

// The most of any one value a line carries; a longer value is cut and
// marked with "...".
constexpr std::size_t kLongestValue = 1024;

}  // namespace

void appendValue(std::string& line, std::string_view value) {
  const bool cut = value.size() > kLongestValue;
  if (cut) {
    value = value.substr(0, kLongestValue);
  }
  for (const char byte : value) {
    const auto code = static_cast<unsigned char>(byte);
    if (code < 0x20 || code == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      line += "\\x";
      line += kHex[code >> 4];
      line += kHex[code & 0x0F];
    } else {
      line += byte;
    }
  }
  if (cut) {
    line += "...";
  }
}

namespace {

// Formats one number `conversion` ("%" to its letter) with the argument its length letters
// name.
template <typename Number>
int formatNumber(char* buffer, std::size_t size, const std::string& conversion, std::va_list& arguments) {
  return std::snprintf(buffer, size, conversion.c_str(), va_arg(arguments, Number));
}

int formatInteger(char* buffer, std::size_t size, const std::string& conversion, std::va_list& arguments) {
  if (conversion.find("ll") != std::string::npos) {
    return formatNumber<long long>(buffer, size, conversion, arguments);
  }
  if (conversion.find('l') != std::string::npos) {
    return formatNumber<long>(buffer, size, conversion, arguments);
  }
  if (conversion.find('z') != std::string::npos) {
    return formatNumber<std::size_t>(buffer, size, conversion, arguments);
  }
  if (conversion.find('j') != std::string::npos) {
    return formatNumber<std::intmax_t>(buffer, size, conversion, arguments);
  }
  if (conversion.find('t') != std::string::npos) {
    return formatNumber<std::ptrdiff_t>(buffer, size, conversion, arguments);
  }
  return formatNumber<int>(buffer, size, conversion, arguments);
}

// Appends `text` padded with blanks to the conversion's width: on the left,
// or on the right with the "-" flag.
void appendPadded(std::string& line, const std::string& conversion, const std::string& text) {
  const std::size_t digits = conversion.find_first_of("123456789");
  const std::size_t width = digits != std::string::npos ? std::strtoul(conversion.c_str() + digits, nullptr, 10) : 0;
  const std::size_t padding = width > text.size() ? width - text.size() : 0;
  const bool left = conversion.find('-') != std::string::npos;
  line.append(left ? 0 : padding, ' ');
  line += text;
  line.append(left ? padding : 0, ' ');
}

// Appends one printf conversion `conversion` (from its "%" to its letter) with the
// argument it takes; strings and characters go through appendValue.
void appendConversion(std::string& line, const std::string& conversion, std::va_list& arguments) {
  char buffer[512];
  int written = 0;
  std::string value;
  switch (conversion.back()) {
    case 's': {
      const char* text = va_arg(arguments, const char*);
      appendValue(value, text != nullptr ? std::string_view(text) : std::string_view("(null)"));
      appendPadded(line, conversion, value);
      return;
    }
    case 'c': {
      const char byte = static_cast<char>(va_arg(arguments, int));
      appendValue(value, std::string_view(&byte, 1));
      appendPadded(line, conversion, value);
      return;
    }
    case 'p':
      written = formatNumber<void*>(buffer, sizeof buffer, conversion, arguments);
      break;
    case 'f':
    case 'e':
    case 'g':
      written = formatNumber<double>(buffer, sizeof buffer, conversion, arguments);
      break;
    default:
      written = formatInteger(buffer, sizeof buffer, conversion, arguments);
      break;
  }
  if (written > 0) {
    line.append(buffer, std::min(static_cast<std::size_t>(written), sizeof buffer - 1));
  }
}

// Appends printf-style output to `line`. The format's own text is copied as
// it is; each value is cut and escaped by appendValue. Understands the
// conversions d i u x X o c s p f e g with flags, width, precision and the
// length letters hh h l ll z j t.
void appendFormatted(std::string& line, const char* format, std::va_list arguments) {
  std::va_list rest;
  va_copy(rest, arguments);
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      line += *p;
      continue;
    }
    if (p[1] == '%') {
      line += '%';
      ++p;
      continue;
    }
    const char* end = p + 1;
    while (*end != '\0' && std::strchr("-+ #0123456789.hlzjt", *end) != nullptr) {
      ++end;
    }
    if (*end == '\0') {
      break;
    }
    appendConversion(line, std::string(p, end + 1), rest);
    p = end;
  }
  va_end(rest);
}

}  // namespace

const char* levelName(int level) {
  return level >= 0 && level <= kStream ? kLevelNames[level] : "unknown";
}

Logger::Logger(std::string path, int threshold)
    : file(platform::openEmptiedForAppend(path)), threshold(threshold) {
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
  vlog(level, CodePlace{nullptr, 0}, format, arguments);
}

void Logger::vlog(int level, const CodePlace& place, const char* format, std::va_list arguments) {
  if (level > threshold) {
    return;
  }
  // The whole line is built first and written in one call, so lines from
  // threads logging at the same moment never interleave. Each thread builds
  // its lines in a buffer of its own that it keeps.
  thread_local std::string line;
  line.clear();
  line += '[';
  line += timeText();
  line += "] [";
  line += levelName(level);
  line += "] ";
  if (place.module != nullptr) {
    line += place.module;
    line += ':';
    line += std::to_string(place.line);
    line += ' ';
  }
  appendFormatted(line, format, arguments);
  line += '\n';
  if (held.depth == 0) {
    write(line);
    return;
  }
  if (held.logger != this && !held.text.empty()) {
    held.logger->write(held.text);
    held.text.clear();
  }
  held.logger = this;
  held.text += line;
}

void Logger::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
}

LineGroup::LineGroup() { ++held.depth; }

LineGroup::~LineGroup() {
  if (--held.depth == 0 && !held.text.empty()) {
    held.logger->write(held.text);
    held.text.clear();
  }
}

namespace {

// Written once by start-up before any worker thread runs, then only read.
Logger* theProcessLogger = nullptr;

}  // namespace

void setProcessLogger(Logger* logger) { theProcessLogger = logger; }

Logger* processLogger() { return theProcessLogger; }

void logMessage(int level, const char* format, ...) {
  if (theProcessLogger == nullptr) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  theProcessLogger->vlog(level, format, arguments);
  va_end(arguments);
}

void logAt(int level, const CodePlace& place, const char* format, ...) {
  if (theProcessLogger == nullptr) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  theProcessLogger->vlog(level, place, format, arguments);
  va_end(arguments);
}

}  // namespace nimbuswatch
