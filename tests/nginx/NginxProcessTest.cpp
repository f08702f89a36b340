// The filter under nginx's process model: started once per nginx start by
// the master, its log emptied then and only then, every worker appending;
// workers drawing the same new pictures at once; reloads under load that
// lose no request and leave no descriptor behind; and a page of a gibibyte
// streaming through a worker in bounded memory.
#include "ModuleNginx.h"

#include "../e2e/EndToEnd.h"
#include "support/RawHttp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace nimbuswatch::test {
namespace {

constexpr int kWorkers = 4;

long count(const std::string& text, const std::string& what) {
  long found = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
    ++found;
  }
  return found;
}

// A field of /proc/PID/status, in kB ("VmHWM", "VmRSS").
long statusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}

std::size_t openDescriptors(pid_t pid) {
  std::error_code ec;
  const auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
  return ec ? 0 : static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator()));
}

// Requests on connections of their own, so each may land on any worker.
RawResponse fetchAlone(unsigned short port, const std::string& path) {
  RawConnection client(port);
  return client.exchange(getRequest(path, "Connection: close\r\n"));
}

class NginxProcessTest : public ::testing::Test {
 protected:
  ModuleConfig config(int workers, std::string http = "") const {
    ModuleConfig made;
    made.settings = files.config();
    made.workers = workers;
    made.http = "  log_format pids '$pid $request';\n  access_log " + site.file("pids.log") + " pids;\n" + http;
    return made;
  }

  // The workers that served requests, by the access log.
  std::set<std::string> servingWorkers() const {
    std::set<std::string> pids;
    for (const std::string& line : splitLines(readFile(site.file("pids.log")))) {
      pids.insert(line.substr(0, line.find(' ')));
    }
    return pids;
  }

  SiteCopy site;
  FilterFiles files;
};

TEST_F(NginxProcessTest, TheFilterStartsOncePerNginxStartAndEveryWorkerLogs) {
  constexpr int kPages = 40;
  {
    ModuleNginx nginx(site.path(), config(kWorkers));
    ASSERT_EQ(nginx.workers().size(), static_cast<std::size_t>(kWorkers));
    for (int i = 0; i < kPages; ++i) {
      EXPECT_EQ(fetchAlone(nginx.port(), "/second.html").field("x-powered-by"), "nimbuswatch/1.0");
    }
    ASSERT_EQ(nginx.signal("reload").exitCode, 0);
    for (int i = 0; i < kPages; ++i) {
      fetchAlone(nginx.port(), "/second.html");
    }
    const std::string log = files.log();
    EXPECT_TRUE(log.find("[notice] started") < log.find("parsing")) << log;
    EXPECT_EQ(count(log, "[notice] started"), 1) << "a reload does not start the filter again";
    EXPECT_EQ(count(log, "parsing [HTTP/1.1] [/second.html]"), 2 * kPages) << log;
    EXPECT_GT(servingWorkers().size(), 1u) << "the requests all went to one worker";
  }
  ModuleNginx again(site.path(), config(kWorkers));
  const std::string log = files.log();
  EXPECT_EQ(count(log, "[notice] started"), 1) << "a new start empties the log";
  EXPECT_EQ(log.find("parsing"), std::string::npos) << log;
}

TEST_F(NginxProcessTest, WorkersDrawingTheSameNewPicturesAtOnceAgree) {
  constexpr int kClients = 8;
  constexpr int kElements = 60;
  writeFile(site.file("crowd.html"), manyElementsPage(kElements));
  ModuleNginx nginx(site.path(), config(kWorkers));
  const std::vector<std::string> urls = pictureUrls(fetchAlone(nginx.port(), "/crowd.html").body);
  ASSERT_EQ(urls.size(), static_cast<std::size_t>(kElements));

  std::mutex lock;
  std::map<std::string, std::set<std::string>> seen;  // every distinct body per URL
  std::vector<std::string> failures;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::vector<std::string> order = urls;
      std::rotate(order.begin(), order.begin() + (c * kElements / kClients), order.end());
      for (const std::string& url : order) {
        try {
          const RawResponse picture = fetchAlone(nginx.port(), url);
          const std::lock_guard guard(lock);
          seen[url].insert(picture.body);
          if (picture.status != 200 || !gifProblems(picture.body).empty()) {
            failures.push_back(url + ": " + std::to_string(picture.status) + " " + gifProblems(picture.body));
          }
        } catch (const std::exception& error) {
          const std::lock_guard guard(lock);
          failures.push_back(url + ": " + error.what());
        }
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  EXPECT_TRUE(failures.empty()) << failures.front();
  for (const auto& [url, bodies] : seen) {
    EXPECT_EQ(bodies.size(), 1u) << url << " came out differently";
  }
  EXPECT_GT(servingWorkers().size(), 1u);
  // Every picture once, whole, and no temporary file left behind.
  EXPECT_EQ(listDirectory(files.imagesDir()).size(), urls.size());
}

TEST_F(NginxProcessTest, ReloadsUnderLoadLoseNoRequestAndLeaveNoDescriptor) {
  constexpr int kClients = 3;
  constexpr int kReloads = 6;
  const std::string expected = [&] {
    ModuleNginx reference(site.path(), config(0));
    return fetchAlone(reference.port(), "/index.html").body;
  }();
  ModuleNginx nginx(site.path(), config(2));
  fetchAlone(nginx.port(), "/index.html");
  const std::size_t descriptors = openDescriptors(nginx.master());

  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  std::mutex lock;
  std::vector<std::string> failures;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      while (!stop) {
        try {
          const RawResponse page = fetchAlone(nginx.port(), "/index.html");
          if (page.status != 200 || page.body != expected) {
            throw std::runtime_error("status " + std::to_string(page.status) + ", " +
                                     std::to_string(page.body.size()) + " bytes");
          }
          ++served;
        } catch (const std::exception& error) {
          const std::lock_guard guard(lock);
          failures.push_back(error.what());
        }
      }
    });
  }
  long rssAfterFirst = 0;
  for (int i = 0; i < kReloads; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(nginx.signal("reload").exitCode, 0);
    if (i == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      rssAfterFirst = statusKilobytes(nginx.master(), "VmRSS");
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  for (std::thread& client : clients) {
    client.join();
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " lost, the first: " << failures.front();
  EXPECT_GT(served.load(), 10 * kReloads);
  // Old workers are gone; the master holds what it held before.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(nginx.workers().size(), 2u);
  EXPECT_EQ(openDescriptors(nginx.master()), descriptors);
  EXPECT_LT(statusKilobytes(nginx.master(), "VmRSS") - rssAfterFirst, 2048) << "the master grows with reloads";
  EXPECT_EQ(count(files.log(), "[notice] started"), 1);
}

TEST_F(NginxProcessTest, AGibibytePageStreamsInBoundedMemory) {
  constexpr std::size_t kPage = std::size_t{1} << 30;
  constexpr long kBoundKilobytes = 64 * 1024;
  // A mebibyte of text with elements, again and again, in one page.
  const std::string block = [] {
    std::string text = manyElementsPage(200);
    text.resize(std::size_t{1} << 20, ' ');
    return text;
  }();
  writeFile(site.file("block.html"), block);
  {
    std::ofstream page(site.file("huge.html"), std::ios::binary);
    for (std::size_t written = 0; written < kPage; written += block.size()) {
      page.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  ModuleNginx nginx(site.path(), config(1));
  const std::vector<pid_t> workers = nginx.workers();
  ASSERT_EQ(workers.size(), 1u);
  const long before = statusKilobytes(workers[0], "VmHWM");
  const ProgramResult result =
      fetch({"-o", "/dev/null", "-w", "%{size_download} %{http_code}", "--max-time", "120", nginx.url("/huge.html")});
  std::filesystem::remove(site.file("huge.html"));
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  // The blocks end in spaces, so the page is the rewritten block again and again.
  const std::size_t rewrittenBlock = fetchAlone(nginx.port(), "/block.html").body.size();
  EXPECT_EQ(result.output, std::to_string(rewrittenBlock * (kPage / block.size())) + " 200");
  const long peak = statusKilobytes(workers[0], "VmHWM");
  std::printf("a 1 GiB page through one worker: its peak resident size went from %ld kB to %ld kB\n", before, peak);
  EXPECT_LT(peak - before, kBoundKilobytes) << "the worker's peak grew from " << before << " kB to " << peak << " kB";
}

}  // namespace
}  // namespace nimbuswatch::test
