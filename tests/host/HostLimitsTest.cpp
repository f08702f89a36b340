// What keeps many connections or large requests from exhausting the host:
// its limits on connections, descriptors and request bodies. (Many clients
// at once, each on a connection of its own, are the end-to-end concurrency
// test's.)
#include "HostTesting.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace nimbuswatch::test {
namespace {

// A number from /proc/<pid>/status, such as the peak resident size "VmHWM" in KiB.
long statusValue(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(name + ":")) {
      return std::stol(line.substr(name.size() + 1));
    }
  }
  return -1;
}

// The processor time the process has used, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) {
      ticks += std::stol(field);  // utime and stime
    }
  }
  return ticks;
}

TEST(HostLimitsTest, RequestBodiesAreNeverHeldWhole) {
  HostSite site;
  ScriptedUpstream upstream([](const ScriptedUpstream::Request& request) {
    const std::string size = std::to_string(request.body.size());
    return ScriptedUpstream::Reply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size.size()) +
                                   "\r\n\r\n" + size};
  });
  const std::string body(40 * 1024 * 1024, 'p');
  const std::vector<std::string> modes[] = {{"--root", site.root()}, {"--upstream", upstream.hostPort()}};
  for (const auto& mode : modes) {
    std::vector<std::string> arguments{"--config", site.config(), "--filter", kRecordingFilter, "--max-body-size",
                                       "64m"};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    // Under AddressSanitizer freed memory is held back for a while; here
    // it would look like growth.
    const char* asan = std::getenv("ASAN_OPTIONS");
    HostProcess host(kHost, arguments,
                     site.environment({{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=0"}}));
    RawConnection client(host.port());
    client.exchange(getRequest("/page.html"));
    const long before = statusValue(host.process().pid(), "VmHWM");
    const RawResponse response =
        client.exchange(getRequest("/page.html", "Content-Length: 41943040\r\n", "POST") + body);
    EXPECT_EQ(response.status, mode[0] == "--root" ? 405u : 200u);
    EXPECT_EQ(response.body.find("41943040") != std::string::npos, mode[0] != "--root") << response.body;
    EXPECT_LT(statusValue(host.process().pid(), "VmHWM") - before, 16 * 1024) << mode[0];
    EXPECT_EQ(client.exchange(getRequest("/index.html")).status, 200u);
  }
}

TEST(HostLimitsTest, ConnectionsBeyondTheLimitWaitForOneToEnd) {
  HostSite site;
  HostProcess host(kHost, site.staticArguments(kRecordingFilter, {"--max-connections", "2"}), site.environment());
  auto first = std::make_unique<RawConnection>(host.port());
  EXPECT_EQ(first->exchange(getRequest("/index.html")).status, 200u);
  RawConnection second(host.port());
  EXPECT_EQ(second.exchange(getRequest("/index.html")).status, 200u);
  RawConnection third(host.port());
  third.send(getRequest("/page.html"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readFile(site.logPath()).find("c3 "), std::string::npos) << "a third connection was served";
  first.reset();
  EXPECT_EQ(third.read().body, readFile(site.page("page.html")));
}

TEST(HostLimitsTest, OutOfDescriptorsTheHostWaitsInsteadOfSpinning) {
  HostSite site;
  // The host starts with a soft limit of 40 descriptors and raises it to the hard 48.
  HostProcess host("/bin/sh", {"-c", "ulimit -S -n 40 && ulimit -H -n 48 && exec \"$0\" \"$@\"", kHost,
                               "--root", site.root(), "--no-filter", "--max-connections", "1000"});
  const pid_t pid = host.process().pid();
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  const std::string text((std::istreambuf_iterator<char>(limits)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Max open files            48                   48"), std::string::npos) << text;
  // A connection served and closed first: the sanitizer runtime needs a
  // descriptor the first time it checks a type, as the host's first
  // end-of-stream makes it do, and would report a fault that is not there.
  RawConnection(host.port()).exchange(getRequest("/index.html"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  {
    std::vector<std::unique_ptr<RawConnection>> clients;
    for (int i = 0; i < 60; ++i) {
      clients.push_back(std::make_unique<RawConnection>(host.port()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long start = cpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuTicks(pid) - start, 30) << "the host busied a processor while out of descriptors";
  }
  RawConnection client(host.port());
  EXPECT_EQ(client.exchange(getRequest("/index.html")).status, 200u);
  const std::string errors = host.process().errorOutput();
  EXPECT_NE(errors.find("nimbuswatch-host: [error] cannot accept a connection: Too many open files"),
            std::string::npos)
      << errors;
}

}  // namespace
}  // namespace nimbuswatch::test
