#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace nimbuswatch::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const Environment& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [extraName, value] : extra) {
      replaced = replaced || extraName == name;
    }
    if (!replaced) {
      entries.push_back(text);
    }
  }
  for (const auto& [name, value] : extra) {
    entries.push_back(name + "=" + value);
  }
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) {
    result.push_back(text.data());
  }
  result.push_back(nullptr);
  return result;
}

sockaddr_in loopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& environment) {
  char errorPattern[] = "/tmp/nimbuswatch-child-XXXXXX";
  const int errorDescriptor = ::mkstemp(errorPattern);
  int pipeEnds[2];
  if (errorDescriptor < 0 || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make the child's output files");
  }
  errorFile = errorPattern;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errorDescriptor, STDERR_FILENO);
  std::vector<std::string> argumentTexts{program};
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentTexts = mergedEnvironment(environment);
  const int failed = ::posix_spawnp(&child, program.c_str(), &actions, nullptr, pointers(argumentTexts).data(),
                                    pointers(environmentTexts).data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  ::close(errorDescriptor);
  outputPipe = pipeEnds[0];
  if (failed != 0) {
    child = -1;
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
  }
}

ChildProcess::~ChildProcess() {
  stop();
  if (outputPipe >= 0) {
    ::close(outputPipe);
  }
  ::unlink(errorFile.c_str());
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (const std::size_t end = pendingOutput.find('\n'); end != std::string::npos) {
      std::string line = pendingOutput.substr(0, end);
      pendingOutput.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready{outputPipe, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char block[4096];
    const ssize_t count = ::read(outputPipe, block, sizeof block);
    if (count <= 0) {
      return std::nullopt;
    }
    pendingOutput.append(block, static_cast<std::size_t>(count));
  }
}

std::string ChildProcess::readAll() {
  std::string all = std::move(pendingOutput);
  pendingOutput.clear();
  char block[4096];
  ssize_t count = 0;
  while ((count = ::read(outputPipe, block, sizeof block)) > 0) {
    all.append(block, static_cast<std::size_t>(count));
  }
  return all;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!exitCode && child > 0) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) {
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (Clock::now() > deadline) {
      return -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return exitCode.value_or(-1);
}

int ChildProcess::stop() {
  if (child <= 0 || exitCode) {
    return exitCode.value_or(-1);
  }
  ::kill(child, SIGTERM);
  if (wait(std::chrono::seconds(5)) == -1 && !exitCode) {
    ::kill(child, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  return exitCode.value_or(-1);
}

std::string ChildProcess::errorOutput() const {
  std::ifstream in(errorFile, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const Environment& environment) {
  ChildProcess process(program, arguments, environment);
  ProgramResult result;
  result.output = process.readAll();
  result.exitCode = process.wait(std::chrono::seconds(60));
  result.errors = process.errorOutput();
  return result;
}

unsigned short freeLoopbackPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot find a free port");
  }
  ::close(probe);
  return ntohs(address.sin_port);
}

bool waitForPort(unsigned short port, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool open = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (open) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ProgramResult curl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"-sS", "--max-time", "20"});
  return runProgram("curl", arguments);
}

std::string curlOutput(std::vector<std::string> arguments) {
  const ProgramResult result = curl(std::move(arguments));
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  return result.output;
}

}  // namespace nimbuswatch::test
