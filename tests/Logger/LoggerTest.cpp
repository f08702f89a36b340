#include "Logger/Logger.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace nimbuswatch {
namespace {

using test::readFile;
using test::splitLines;
using test::TempDir;

TEST(LoggerTest, WritesTimeLevelAndMessageOnOneLine) {
  TempDir dir;
  const std::string path = dir.file("log");
  {
    Logger logger(path);
    logger.log(kInfo, "%s:%d value %s", ".\\src\\Module", 27, "here");
  }
  const std::string content = readFile(path);
  const std::regex line(
      R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
      R"(\d\d:\d\d:\d\d [+-]\d{4}\] \[info\] \.\\src\\Module:27 value here\n)");
  EXPECT_TRUE(std::regex_match(content, line)) << content;
}

TEST(LoggerTest, LevelsAboveSixAreDroppedAndNamesFollowTheTable) {
  TempDir dir;
  const std::string path = dir.file("log");
  {
    Logger logger(path);
    logger.log(kDebug, "debug");
    logger.log(kStream, "stream");
    logger.log(9, "nine");
    logger.log(kEmergency, "zero");
    logger.log(kCritical, "two");
    logger.log(kNotice, "five");
    logger.log(-1, "negative");
    logger.log(kNotice, "%s", "");
  }
  std::vector<std::string> messages;
  for (const std::string& line : splitLines(readFile(path))) {
    messages.push_back(test::withoutTime(line));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"emergency: zero", "critical: two", "notice: five",
                                                "unknown: negative", "notice: "}));
  // The empty message still ends in the blank after the level and a line end.
  EXPECT_EQ(readFile(path).substr(readFile(path).size() - 10), "[notice] \n");
}

TEST(LoggerTest, EveryStartBeginsAnEmptyLog) {
  TempDir dir;
  const std::string path = dir.file("log");
  { Logger(path).log(kNotice, "first run"); }
  { Logger(path).log(kNotice, "second run"); }
  const auto lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(test::withoutTime(lines[0]), "notice: second run");
}

TEST(LoggerTest, LongMessagesAreWrittenWhole) {
  TempDir dir;
  const std::string path = dir.file("log");
  const std::string part(1000, 'x');
  { Logger(path).log(kError, "[%s|%s|%s|%s|%s]", part.c_str(), part.c_str(), part.c_str(), part.c_str(), part.c_str()); }
  EXPECT_EQ(test::withoutTime(splitLines(readFile(path)).at(0)),
            "error: [" + part + "|" + part + "|" + part + "|" + part + "|" + part + "]");
}

// Values come from requests and pages: each is cut to 1 KiB and its control
// bytes are escaped, so a line is always exactly one line of bounded size.
TEST(LoggerTest, ValuesAreCutAndEscapedButTheFormatIsNot) {
  const std::string kibibyte(1024, 'v');
  const struct {
    std::string value;
    std::string logged;
  } cases[] = {
      {"/a%0a", "/a%0a"},
      {"/a\nforged [Mon] [emergency] x", "/a\\x0aforged [Mon] [emergency] x"},
      {std::string("\r\t\x01\x1f\x7f\x80\xff", 7), "\\x0d\\x09\\x01\\x1f\\x7f\x80\xff"},
      {".\\src\\core", ".\\src\\core"},
      {kibibyte, kibibyte},
      {kibibyte + "w", kibibyte + "..."},
      {std::string(1 << 20, 'm'), std::string(1024, 'm') + "..."},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.file("log");
    { Logger(path).log(kWarning, "%s:%d [%s] %c|%5d|%-3s|%%", "m", 7, c.value.c_str(), '\n', 42, "ab"); }
    const auto lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 1u) << c.logged;
    EXPECT_EQ(test::withoutTime(lines[0]), "warning: m:7 [" + c.logged + "] \\x0a|   42|ab |%");
  }
}

// The log is written with append semantics: a copy-and-truncate rotation
// leaves no hole of NUL bytes, and two writers never overwrite each other.
TEST(LoggerTest, RotationByTruncationAndSharedWritersLoseNothing) {
  TempDir dir;
  const std::string path = dir.file("log");
  Logger first(path);
  first.log(kNotice, "before rotation %s", std::string(500, 'b').c_str());
  std::filesystem::resize_file(path, 0);
  first.log(kNotice, "after rotation");
  EXPECT_EQ(readFile(path).find('\0'), std::string::npos);
  ASSERT_EQ(splitLines(readFile(path)).size(), 1u);

  Logger second(path);  // a second process starting on the same log empties it once
  for (int i = 0; i < 50; ++i) {
    first.log(kNotice, "first %d", i);
    second.log(kNotice, "second %d", i);
  }
  const auto lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 100u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(test::withoutTime(lines[2 * i]), "notice: first " + std::to_string(i));
    EXPECT_EQ(test::withoutTime(lines[2 * i + 1]), "notice: second " + std::to_string(i));
  }
}

TEST(LoggerTest, UnopenableFileIsReportedOnStandardErrorAndThrows) {
  TempDir dir;
  const std::string path = dir.file("missing/dir/log");
  testing::internal::CaptureStderr();
  EXPECT_THROW(Logger logger(path), LoggerError);
  const std::string stderrText = testing::internal::GetCapturedStderr();
  EXPECT_EQ(stderrText,
            "nimbuswatch: Logger::Logger couldn't open logfile " + path + ": No such file or directory\n");
}

TEST(LoggerTest, LinesFromConcurrentThreadsNeverInterleave) {
  TempDir dir;
  const std::string path = dir.file("log");
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  {
    Logger logger(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&logger, t] {
        const std::string payload(200 + t, static_cast<char>('a' + t));
        // Odd threads log in groups of three lines, which stay together.
        for (int i = 0; i < kLines; i += 3) {
          const std::optional<LineGroup> group = t % 2 == 1 ? std::optional<LineGroup>(std::in_place) : std::nullopt;
          for (int k = i; k < i + 3; ++k) {
            logger.log(kNotice, "thread %d line %d %s", t, k, payload.c_str());
          }
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
  }
  const auto lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  const std::regex shape(R"(notice: thread (\d) line (\d+) ([a-h])+)");
  int groupThread = -1;  // the odd thread whose group of three is being read
  int groupLine = 0;
  for (const std::string& line : lines) {
    const std::string message = test::withoutTime(line);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, shape)) << message;
    const int thread = std::stoi(match[1]);
    const int number = std::stoi(match[2]);
    EXPECT_EQ(message.substr(message.rfind(' ') + 1), std::string(200 + thread, static_cast<char>('a' + thread)));
    if (groupThread >= 0) {
      ASSERT_EQ(thread, groupThread) << "a group was broken by " << message;
      ASSERT_EQ(number, ++groupLine);
      groupThread = number % 3 == 2 ? -1 : groupThread;
    } else if (thread % 2 == 1) {
      ASSERT_EQ(number % 3, 0) << message;
      groupThread = thread;
      groupLine = number;
    }
  }
}

// A group's lines, nested groups' included, reach the file in one piece when
// the outermost group ends, each as it would have been written alone.
TEST(LoggerTest, AGroupsLinesReachTheFileTogetherWhenItEnds) {
  TempDir dir;
  const std::string path = dir.file("log");
  Logger logger(path);
  {
    const LineGroup outer;
    logger.log(kNotice, "one");
    {
      const LineGroup inner;
      logger.log(kInfo, "two");
    }
    logger.log(kDebug, "above the threshold");
    EXPECT_EQ(readFile(path), "");
    logger.log(kError, "three");
  }
  const auto lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(test::withoutTime(lines[0]), "notice: one");
  EXPECT_EQ(test::withoutTime(lines[1]), "info: two");
  EXPECT_EQ(test::withoutTime(lines[2]), "error: three");
}

TEST(LoggerTest, LoggingWithoutALoggerDoesNothing) {
  Logger* saved = processLogger();
  setProcessLogger(nullptr);
  logMessage(kCritical, "%s:%d nobody listens", ".\\src\\core", 1);
  logAt(kCritical, {".\\src\\core", 1}, "nobody listens");
  setProcessLogger(saved);
}

}  // namespace
}  // namespace nimbuswatch
